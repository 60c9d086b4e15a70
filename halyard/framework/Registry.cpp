#include "halyard/framework/Registry.h"

namespace Halyard::Framework {

void RegisterComponents(const std::string& Page, std::initializer_list<TComponentClass> Classes) {
  for (const auto& c : Classes) RegisterOnPalette(Page, c.ClassName, c.Create);
}

std::vector<std::string> RegisteredPages() {
  std::vector<std::string> pages;
  for (const TClassInfo* c : PaletteClasses()) {
    bool seen = false;
    for (const auto& p : pages) seen = seen || p == c->Page;
    if (!seen) pages.push_back(c->Page);
  }
  return pages;
}

std::vector<std::string> RegisteredClasses(const std::string& Page) {
  std::vector<std::string> names;
  for (const TClassInfo* c : PaletteClasses())
    if (c->Page == Page) names.push_back(c->ClassName);
  return names;
}

const TClassInfo* FindComponentClass(const std::string& ClassName) {
  const TClassInfo* info = FindClassInfo(ClassName);
  return info && info->Create ? info : nullptr;
}

}  // namespace Halyard::Framework
