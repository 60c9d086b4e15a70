#pragma once
// The package as a whole: its name, its units and the palette registration of its components.
#include <string>
#include <vector>

namespace Halyard::Package {

inline constexpr const char* PackageName = "Halyard";
inline constexpr const char* PackageDescription = "Halyard package";

// The units of the package, lowest first.
const std::vector<std::string>& Units();
// Runs every unit's Register: the components appear on the palette page "Communication".
void Register();

}  // namespace Halyard::Package
