#include "halyard/resources/ResourceTables.h"

namespace Halyard::Resources {

std::span<const TResStringRec> CommConnectResources() {
  static const TResStringRec table[] = {
      {sComError, "sComError", "Error %d %s in function: %s"},
  };
  return table;
}

}  // namespace Halyard::Resources
