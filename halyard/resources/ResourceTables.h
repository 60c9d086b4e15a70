#pragma once
// Each unit's resource table; Resources.cpp merges them.
#include <span>

#include "halyard/resources/Resources.h"

namespace Halyard::Resources {

std::span<const TResStringRec> ConnectResources();
std::span<const TResStringRec> CommConnectResources();
std::span<const TResStringRec> GSMResources();
std::span<const TResStringRec> TAPIResources();

}  // namespace Halyard::Resources
