#pragma once
// The system calls of the serial layer, behind a seam: tests replace them with a scripted
// device to drive modem lines, breaks, line errors and transmit-empty, which pseudo-terminals
// do not have.
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

namespace Halyard::Platform {

class ISerialSystem {
 public:
  virtual ~ISerialSystem() = default;
  virtual int Open(const char* Path, int Flags);
  virtual int Close(int Fd);
  virtual ssize_t Read(int Fd, void* Buffer, size_t Count);
  virtual ssize_t Write(int Fd, const void* Buffer, size_t Count);
  virtual int Poll(pollfd* Fds, nfds_t Count, int Timeout);
  // Request and argument as ioctl(2) takes them (TIOCMIWAIT takes its mask as the argument).
  virtual int Ioctl(int Fd, unsigned long Request, void* Arg);
  virtual int TcGetAttr(int Fd, termios* T);
  virtual int TcSetAttr(int Fd, int Actions, const termios* T);
  virtual int TcFlush(int Fd, int Queue);
  virtual int TcFlow(int Fd, int Action);
  virtual int FStat(int Fd, struct stat* St);
  virtual int Flock(int Fd, int Operation);
  // Ends a TIOCMIWAIT that Thread is blocked in (it returns EINTR).
  virtual void InterruptModemWait(pthread_t Thread);
};

// The calls in force for handles opened from now on.
ISerialSystem& SerialSystem();
// nullptr restores the real system calls. The object must outlive the handles opened with it.
void SetSerialSystem(ISerialSystem* System);

}  // namespace Halyard::Platform
