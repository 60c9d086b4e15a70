#pragma once
// The palette bitmaps of the registered components: 24 by 24 pixels in 16 colours, as BMP
// files, named after the class in capitals ("TCOMM").
#include <string>
#include <string_view>
#include <vector>

namespace Halyard::Resources {

// The BMP file of that name, or empty when there is none.
std::string PaletteBitmap(std::string_view Name);
std::vector<std::string> PaletteBitmapNames();

}  // namespace Halyard::Resources
