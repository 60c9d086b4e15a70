#include "halyard/package/Package.h"

#include "halyard/commconnect/CommConnect.h"
#include "halyard/connect/Loggers.h"
#include "halyard/gsm/GSM.h"
#include "halyard/scktconnect/ScktConnect.h"
#include "halyard/tapi/TAPICom.h"
#include "halyard/terminal/LogTerm.h"
#include "halyard/terminal/Terminal.h"

namespace Halyard::Package {

const std::vector<std::string>& Units() {
  static const std::vector<std::string> units = {"AuxStr", "Connect", "CommConnect", "GSM", "ScktConnect", "TAPI", "TAPICom", "Terminal", "LogTerm"};
  return units;
}

void Register() {
  Connect::Register();
  CommConnect::Register();
  GSM::Register();
  ScktConnect::Register();
  TAPICom::Register();
  Terminal::Register();
  LogTerm::Register();
}

}  // namespace Halyard::Package
