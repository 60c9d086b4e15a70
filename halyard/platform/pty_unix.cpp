#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

#include "halyard/platform/Pty.h"

namespace Halyard::Platform {

TPseudoTerminal::TPseudoTerminal() {
  char name[256] = {};
  if (::openpty(&Master_, &Slave_, name, nullptr, nullptr) < 0) throw std::runtime_error("openpty failed");
  SlavePath_ = name;
  // Raw from the start, so nothing written before the port opens is echoed or translated.
  termios t{};
  ::tcgetattr(Slave_, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(Slave_, TCSANOW, &t);
  ::fcntl(Master_, F_SETFD, FD_CLOEXEC);
  ::fcntl(Slave_, F_SETFD, FD_CLOEXEC);
}

TPseudoTerminal::~TPseudoTerminal() {
  CloseMaster();
  CloseSlave();
}

void TPseudoTerminal::CloseSlave() {
  if (Slave_ >= 0) ::close(Slave_);
  Slave_ = -1;
}

void TPseudoTerminal::CloseMaster() {
  if (Master_ >= 0) ::close(Master_);
  Master_ = -1;
}

}  // namespace Halyard::Platform
