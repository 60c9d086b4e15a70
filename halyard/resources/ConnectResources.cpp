#include "halyard/resources/ResourceTables.h"

namespace Halyard::Resources {

std::span<const TResStringRec> ConnectResources() {
  static const TResStringRec table[] = {
      {sActiveConnection, "sActiveConnection", "Connection is active"},
      {sInactiveConnection, "sInactiveConnection", "Connection is inactive"},
      {sCannotOpenSocket, "sCannotOpenSocket", "Cannot open socket"},
  };
  return table;
}

}  // namespace Halyard::Resources
