#pragma once
// Serial communications in the shape of the Win32 comm calls, over termios and ioctl.
//
// Every open handle has one I/O thread that keeps the input queue in user space (exact queue
// counts, the event character, purge and cancellable waits), writes queued output, and reports
// transmit-empty; where the device has modem lines, a second thread follows them (TIOCMIWAIT)
// and the kernel's error counters. Completions are reported through an OVERLAPPED record whose
// event the caller waits for; a pending operation is cancelled by CancelIoEx or CloseHandle and
// never touches the record afterwards.
#include <cstdint>
#include <string>

#include "halyard/framework/Threads.h"

namespace Halyard::Platform {

using DWORD = uint32_t;
using BOOL = bool;
struct TCommDevice;
using HANDLE = TCommDevice*;
inline HANDLE const INVALID_HANDLE_VALUE = nullptr;

// Error codes are errno values, plus these two of the overlapped model.
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
DWORD GetLastError();
void SetLastError(DWORD Code);
// The system's text for an error code (the C library's for errno values).
std::string FormatMessageA(DWORD Code);

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;
constexpr DWORD FILE_TYPE_UNKNOWN = 0, FILE_TYPE_DISK = 1, FILE_TYPE_CHAR = 2, FILE_TYPE_PIPE = 3;

struct OVERLAPPED {
  Framework::TEvent* hEvent = nullptr;
  DWORD Internal = 0;      // status: 0 done, ERROR_IO_PENDING while pending
  DWORD InternalHigh = 0;  // bytes transferred
};

// Opens a device (or any file) by name; no sharing: a second opener is refused.
HANDLE CreateFileA(const std::string& FileName, DWORD DesiredAccess, DWORD ShareMode, void* Security,
                   DWORD CreationDisposition, DWORD FlagsAndAttributes, void* Template);
BOOL CloseHandle(HANDLE h);
DWORD GetFileType(HANDLE h);

struct DCB {
  DWORD DCBlength = sizeof(DCB);
  DWORD BaudRate = 9600;
  DWORD Flags = 0;  // the bit fields below
  uint16_t wReserved = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = 0;
  uint8_t StopBits = 0;
  char XonChar = 17;
  char XoffChar = 19;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
};
constexpr DWORD fBinary = 0x0001, fParity = 0x0002, fOutxCtsFlow = 0x0004, fOutxDsrFlow = 0x0008,
                fDtrControlMask = 0x0030, fDsrSensitivity = 0x0040, fTXContinueOnXoff = 0x0080,
                fOutX = 0x0100, fInX = 0x0200, fErrorChar = 0x0400, fNull = 0x0800,
                fRtsControlMask = 0x3000, fAbortOnError = 0x4000;
constexpr DWORD DTR_CONTROL_DISABLE = 0x0000, DTR_CONTROL_ENABLE = 0x0010, DTR_CONTROL_HANDSHAKE = 0x0020;
constexpr DWORD RTS_CONTROL_DISABLE = 0x0000, RTS_CONTROL_ENABLE = 0x1000, RTS_CONTROL_HANDSHAKE = 0x2000,
                RTS_CONTROL_TOGGLE = 0x3000;
constexpr uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout = 0;
  DWORD ReadTotalTimeoutMultiplier = 0;
  DWORD ReadTotalTimeoutConstant = 0;
  DWORD WriteTotalTimeoutMultiplier = 0;
  DWORD WriteTotalTimeoutConstant = 0;
};
constexpr DWORD MAXDWORD = 0xFFFFFFFFu;

struct COMSTAT {
  DWORD Flags = 0;  // bit 0 fCtsHold, 1 fDsrHold, 2 fRlsdHold, 3 fXoffHold, 4 fXoffSent, 5 fEof, 6 fTxim
  DWORD cbInQue = 0;
  DWORD cbOutQue = 0;
};
constexpr DWORD CE_RXOVER = 0x0001, CE_OVERRUN = 0x0002, CE_RXPARITY = 0x0004, CE_FRAME = 0x0008,
                CE_BREAK = 0x0010, CE_IOE = 0x0400;

constexpr DWORD EV_RXCHAR = 0x0001, EV_RXFLAG = 0x0002, EV_TXEMPTY = 0x0004, EV_CTS = 0x0008,
                EV_DSR = 0x0010, EV_RLSD = 0x0020, EV_BREAK = 0x0040, EV_ERR = 0x0080, EV_RING = 0x0100;
constexpr DWORD PURGE_TXABORT = 0x0001, PURGE_RXABORT = 0x0002, PURGE_TXCLEAR = 0x0004, PURGE_RXCLEAR = 0x0008;
constexpr DWORD SETXOFF = 1, SETXON = 2, SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6, SETBREAK = 8,
                CLRBREAK = 9;
constexpr DWORD MS_CTS_ON = 0x0010, MS_DSR_ON = 0x0020, MS_RING_ON = 0x0040, MS_RLSD_ON = 0x0080;

BOOL SetupComm(HANDLE h, DWORD InQueue, DWORD OutQueue);
BOOL GetCommState(HANDLE h, DCB* Dcb);
// Settings the device cannot take (1.5 stop bits, 4 data bits, DTR/DSR handshake) fail with EINVAL.
// The driver's settings are built from the record alone, and a refused record changes nothing.
BOOL SetCommState(HANDLE h, const DCB* Dcb);
// Reads always complete at once with what has arrived, which is the only mode the port sets.
BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS* Timeouts);
// A new mask completes a pending WaitCommEvent with 0.
BOOL SetCommMask(HANDLE h, DWORD EvtMask);
BOOL WaitCommEvent(HANDLE h, DWORD* EvtMask, OVERLAPPED* Overlapped);
// Waits without limit, as Event->WaitFor does, for the event of a wait that WaitCommEvent left
// pending, and reads the device meanwhile in the calling thread: received bytes raise the event
// with no other thread between. Not for other waits on the event.
Framework::TWaitResult WaitCommEventReading(HANDLE h, Framework::TEvent* Event);
// When the device hangs up (the other end of a pseudo-terminal closed, a USB modem pulled), it is
// no longer watched: CE_IOE is reported once with EV_ERR, pending writes fail, and reads fail
// with the system's error once the bytes that had arrived are taken.
BOOL ClearCommError(HANDLE h, DWORD* Errors, COMSTAT* Stat);
BOOL PurgeComm(HANDLE h, DWORD Flags);
BOOL EscapeCommFunction(HANDLE h, DWORD Func);
BOOL GetCommModemStatus(HANDLE h, DWORD* ModemStat);
// A read that leaves bytes in the input queue raises EV_RXCHAR again, so a reader that takes
// part of what it is offered hears of the rest.
BOOL ReadFile(HANDLE h, void* Buffer, DWORD Count, DWORD* Read, OVERLAPPED* Overlapped);
// The bytes are copied: the caller's buffer is free as soon as the call returns.
BOOL WriteFile(HANDLE h, const void* Buffer, DWORD Count, DWORD* Written, OVERLAPPED* Overlapped);
BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* Overlapped, DWORD* Transferred, BOOL Wait);
// Cancels the pending operation of that record (all of the handle's with nullptr).
BOOL CancelIoEx(HANDLE h, OVERLAPPED* Overlapped);

}  // namespace Halyard::Platform
