// gsmsim: one simulated GSM modem on a pseudo-terminal or on standard input/output.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "halyard/framework/SysUtils.h"
#include "halyard/platform/Pty.h"
#include "halyard/simulator/GSMSimulator.h"

using namespace Halyard;

namespace {

volatile sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: gsmsim [options]\n"
               "Serves one simulated GSM modem that speaks AT commands (27.007, 27.005).\n\n"
               "  --model NAME     modem model: A1 M1 M20 GM12 Nokia6210 Nokia9110 M35 S25 T260 WaveCom TC35\n"
               "                   (default TC35). M1, Nokia9110 and WaveCom send and expect PDUs\n"
               "                   without the service-centre octet, as those modems do; most\n"
               "                   clients expect it\n"
               "  --personality P  behave as a family of today's modems does beyond 27.005:\n"
               "                   classic quectel-ec25 simcom-sim7600 simcom-sim800 huawei-e3372\n"
               "                   huawei-e3372-325 sierra-mc7455 ublox-sara telit-le910\n"
               "                   (default classic: the model's own behaviour)\n"
               "  --slow-cmgs MS   answer each sent message MS milliseconds late\n"
               "  --boot-noise     still starting when first spoken to: boot lines come first\n"
               "  --pin PIN        the SIM asks for this PIN (default: no PIN)\n"
               "  --imei DIGITS    the modem's IMEI (AT+CGSN), 490154203237518 by default\n"
               "  --iccid DIGITS   the SIM's ICCID (AT+CCID, AT+CRSM), 8900101012345678901 by default\n"
               "  --number NUMBER  the modem's own number; messages sent to it come back\n"
               "  --link PATH      also make a symbolic link PATH to the pseudo-terminal\n"
               "  --stdio          speak on standard input and output instead of a pseudo-terminal;\n"
               "                   ends when the input ends\n"
               "  --log FILE       append the AT traffic to FILE (\"<\" received, \">\" sent)\n"
               "  --control PATH   read control lines from the FIFO at PATH (made if missing)\n"
               "  --help           this text\n\n"
               "Without --stdio the slave's path is printed on the first line of standard output.\n"
               "Control lines (on the FIFO, or on standard input with a pseudo-terminal):\n%s",
               Simulator::TGSMSimulator::ControlHelp());
}

}  // namespace

int main(int argc, char** argv) {
  Simulator::TSimOptions opt;
  std::string link, control, logPath;
  bool stdio = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "gsmsim: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    try {
      if (a == "--help" || a == "-h") {
        Usage(stdout);
        return 0;
      } else if (a == "--model") {
        opt.Model = GSM::Str2GMSEquipment(value());
      } else if (a == "--personality") {
        opt.Personality = Simulator::Str2Personality(value());
      } else if (a == "--slow-cmgs") {
        opt.CmgsDelayMs = std::max(0, Framework::StrToIntDef(value(), -1));
      } else if (a == "--boot-noise") {
        opt.BootNoise = true;
      } else if (a == "--pin") {
        opt.PIN = value();
      } else if (a == "--number") {
        opt.OwnNumber = value();
      } else if (a == "--imei") {
        opt.IMEI = value();
        if (opt.IMEI.empty() || opt.IMEI.size() > 17 || opt.IMEI.find_first_not_of("0123456789") != std::string::npos)
          throw std::runtime_error("--imei takes up to 17 digits");
      } else if (a == "--iccid") {
        opt.ICCID = value();
        if (opt.ICCID.size() < 18 || opt.ICCID.size() > 20 || opt.ICCID.find_first_not_of("0123456789") != std::string::npos)
          throw std::runtime_error("--iccid takes 18 to 20 digits");
      } else if (a == "--link") {
        link = value();
      } else if (a == "--control") {
        control = value();
      } else if (a == "--log") {
        logPath = value();
      } else if (a == "--stdio") {
        stdio = true;
      } else {
        std::fprintf(stderr, "gsmsim: unknown option %s\n", a.c_str());
        Usage(stderr);
        return 2;
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "gsmsim: %s\n", e.what());
      return 2;
    }
  }
  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Simulator::TGSMSimulator sim(opt);
  std::FILE* log = nullptr;
  if (!logPath.empty()) {
    log = std::fopen(logPath.c_str(), "a");
    if (!log) {
      std::fprintf(stderr, "gsmsim: cannot open %s: %s\n", logPath.c_str(), std::strerror(errno));
      return 1;
    }
    sim.Traffic = [log](bool in, const std::string& bytes) {
      std::string shown;
      for (unsigned char c : bytes) {
        if (c == '\r') shown += "\\r";
        else if (c == '\n') shown += "\\n";
        else if (c == '\\') shown += "\\\\";
        else if (c < 32 || c >= 127) shown += Framework::Format("\\x%.2x", c);
        else shown += static_cast<char>(c);
      }
      std::fprintf(log, "%s %s\n", in ? "<" : ">", shown.c_str());
      std::fflush(log);
    };
  }
  std::unique_ptr<Platform::TPseudoTerminal> pty;
  if (stdio) {
    sim.Start(STDIN_FILENO, STDOUT_FILENO);
  } else {
    try {
      pty = std::make_unique<Platform::TPseudoTerminal>();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "gsmsim: %s\n", e.what());
      return 1;
    }
    pty->CloseSlave();  // the user opens it by name; until then reads on the master give EIO
    const char* name = pty->SlavePath().c_str();
    if (!link.empty()) {
      ::unlink(link.c_str());
      if (::symlink(name, link.c_str()) < 0) std::perror("gsmsim: symlink");
    }
    std::printf("%s\n", name);
    std::fflush(stdout);
    sim.Start(pty->Master(), pty->Master());
  }
  int controlFd = -1;
  if (!control.empty()) {
    ::mkfifo(control.c_str(), 0600);
    controlFd = ::open(control.c_str(), O_RDWR | O_NONBLOCK);  // read-write: no end of file
    if (controlFd < 0) std::perror("gsmsim: control");
  } else if (!stdio) {
    controlFd = STDIN_FILENO;
  }
  std::string buf;
  while (!gStop && (!stdio || sim.Serving())) {
    pollfd p{controlFd, POLLIN, 0};
    // A signal ends the wait; with --stdio the end of input is looked for now and then.
    int r = ::poll(&p, controlFd >= 0 ? 1 : 0, stdio ? 100 : -1);
    if (r <= 0) continue;
    char tmp[1024];
    ssize_t n = ::read(controlFd, tmp, sizeof tmp);
    if (n == 0 && controlFd == STDIN_FILENO) controlFd = -1;
    if (n <= 0) continue;
    buf.append(tmp, static_cast<size_t>(n));
    size_t nl;
    while ((nl = buf.find('\n')) != std::string::npos) {
      std::string line = buf.substr(0, nl);
      buf.erase(0, nl + 1);
      std::string err = sim.Control(line);
      if (!err.empty()) std::fprintf(stderr, "gsmsim: %s\n", err.c_str());
    }
  }
  sim.Stop();
  sim.Traffic = nullptr;
  if (log) std::fclose(log);
  if (!link.empty()) ::unlink(link.c_str());
  return 0;
}
