#include "halyard/resources/PaletteBitmaps.h"

#include <array>
#include <cstdint>

namespace Halyard::Resources {

namespace {

constexpr int kSize = 24;

// The standard 16-colour palette, as red, green, blue.
constexpr uint8_t kPalette[16][3] = {
    {0, 0, 0},       {0, 0, 128},   {0, 128, 0},   {0, 128, 128}, {128, 0, 0},     {128, 0, 128},
    {128, 128, 0},   {192, 192, 192}, {128, 128, 128}, {0, 0, 255}, {0, 255, 0},     {0, 255, 255},
    {255, 0, 0},     {255, 0, 255}, {255, 255, 0}, {255, 255, 255}};

struct TGlyph {
  char Letter;
  const char* Rows[5];
};
constexpr TGlyph kFont[] = {
    {'C', {".##", "#..", "#..", "#..", ".##"}}, {'O', {"###", "#.#", "#.#", "#.#", "###"}},
    {'M', {"#.#", "###", "###", "#.#", "#.#"}}, {'D', {"##.", "#.#", "#.#", "#.#", "##."}},
    {'G', {".##", "#..", "#.#", "#.#", ".##"}}, {'S', {".##", "#..", ".#.", "..#", "##."}},
    {'T', {"###", ".#.", ".#.", ".#.", ".#."}}, {'E', {"###", "#..", "##.", "#..", "###"}},
    {'L', {"#..", "#..", "#..", "#..", "###"}}, {'R', {"##.", "#.#", "##.", "#.#", "#.#"}},
};

struct TIcon {
  const char* Name;
  const char* Label;
  uint8_t Back, Ink;
};
constexpr TIcon kIcons[] = {
    {"TCOMM", "COM", 11, 1},     {"TMODEM", "MDM", 10, 2},  {"TGSM", "GSM", 14, 4},
    {"TLINECOM", "TEL", 7, 12},  {"TTERMINAL", "TRM", 0, 10}, {"TFILELOGGER", "LOG", 15, 1},
    {"TFILETERMLOGGER", "LGT", 15, 12},
};

const TGlyph* Glyph(char c) {
  for (const TGlyph& g : kFont)
    if (g.Letter == c) return &g;
  return nullptr;
}

void Put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Put16(std::string& s, uint16_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8);
}

// A framed tile with a three-letter label, two pixels to a font pixel.
std::string Render(const TIcon& icon) {
  std::array<std::array<uint8_t, kSize>, kSize> px{};
  for (auto& row : px) row.fill(icon.Back);
  for (int i = 0; i < kSize; ++i) px[0][i] = px[kSize - 1][i] = px[i][0] = px[i][kSize - 1] = 8;
  for (int k = 0; k < 3; ++k) {
    const TGlyph* g = Glyph(icon.Label[k]);
    if (!g) continue;
    int x0 = 1 + k * 8, y0 = 7;
    for (int r = 0; r < 5; ++r)
      for (int c = 0; c < 3; ++c)
        if (g->Rows[r][c] == '#')
          for (int dy = 0; dy < 2; ++dy)
            for (int dx = 0; dx < 2; ++dx) px[y0 + 2 * r + dy][x0 + 2 * c + dx] = icon.Ink;
  }
  constexpr uint32_t rowBytes = (kSize * 4 + 31) / 32 * 4;
  constexpr uint32_t offset = 14 + 40 + 16 * 4;
  std::string bmp = "BM";
  Put32(bmp, offset + rowBytes * kSize);
  Put32(bmp, 0);
  Put32(bmp, offset);
  Put32(bmp, 40);
  Put32(bmp, kSize);
  Put32(bmp, kSize);
  Put16(bmp, 1);
  Put16(bmp, 4);
  Put32(bmp, 0);
  Put32(bmp, rowBytes * kSize);
  Put32(bmp, 2835);
  Put32(bmp, 2835);
  Put32(bmp, 16);
  Put32(bmp, 16);
  for (auto& c : kPalette) {  // stored as blue, green, red, reserved
    bmp += static_cast<char>(c[2]);
    bmp += static_cast<char>(c[1]);
    bmp += static_cast<char>(c[0]);
    bmp += '\0';
  }
  for (int y = kSize - 1; y >= 0; --y) {  // bottom-up
    std::string row;
    for (int x = 0; x < kSize; x += 2) row += static_cast<char>((px[y][x] << 4) | px[y][x + 1]);
    row.resize(rowBytes, '\0');
    bmp += row;
  }
  return bmp;
}

}  // namespace

std::string PaletteBitmap(std::string_view Name) {
  for (const TIcon& icon : kIcons)
    if (Name == icon.Name) return Render(icon);
  return {};
}

std::vector<std::string> PaletteBitmapNames() {
  std::vector<std::string> names;
  for (const TIcon& icon : kIcons) names.emplace_back(icon.Name);
  return names;
}

}  // namespace Halyard::Resources
