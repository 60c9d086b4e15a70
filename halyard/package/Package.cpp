#include "halyard/package/Package.h"

#include "halyard/commconnect/CommConnect.h"
#include "halyard/connect/Loggers.h"
#include "halyard/gsm/GSM.h"
#include "halyard/scktconnect/ScktConnect.h"

namespace Halyard::Package {

const std::vector<std::string>& Units() {
  static const std::vector<std::string> units = {"AuxStr", "Connect", "CommConnect", "GSM", "ScktConnect"};
  return units;
}

void Register() {
  Connect::Register();
  CommConnect::Register();
  GSM::Register();
  ScktConnect::Register();
}

}  // namespace Halyard::Package
