#include "halyard/resources/ResourceTables.h"

namespace Halyard::Resources {

std::span<const TResStringRec> CommConnectResources() {
  static const TResStringRec table[] = {
      {sComError, "sComError", "Error %d %s in function: %s"},
      {sNoResponse, "sNoResponse", "No response on %s"},
      {sLineBusy, "sLineBusy", "Line is busy"},
      {sCannotConnect, "sCannotConnect", "Cannot connect"},
      {sNoDialTone, "sNoDialTone", "No dial tone"},
  };
  return table;
}

}  // namespace Halyard::Resources
