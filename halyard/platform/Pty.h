#pragma once
// A pseudo-terminal pair in raw mode: the serial cable of the simulated modem and of the tests.
// A port opens the slave by name; the other side speaks on the master.
#include <string>

namespace Halyard::Platform {

class TPseudoTerminal {
 public:
  // Raises std::runtime_error when the system has no pseudo-terminal to give.
  TPseudoTerminal();
  TPseudoTerminal(const TPseudoTerminal&) = delete;
  TPseudoTerminal& operator=(const TPseudoTerminal&) = delete;
  ~TPseudoTerminal();

  const std::string& SlavePath() const { return SlavePath_; }
  int Master() const { return Master_; }
  // -1 once closed.
  int Slave() const { return Slave_; }
  // Keeping the slave open spares the master a hang-up between two users of the device;
  // closed, reads on the master fail with EIO until somebody opens the slave.
  void CloseSlave();
  // Hangs up the line, as pulling the cable does: the slave's users see POLLHUP and EIO.
  void CloseMaster();

 private:
  int Master_ = -1;
  int Slave_ = -1;
  std::string SlavePath_;
};

}  // namespace Halyard::Platform
