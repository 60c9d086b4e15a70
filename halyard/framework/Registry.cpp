#include "halyard/framework/Registry.h"

#include <mutex>

namespace Halyard::Framework {

namespace {
struct Entry {
  std::string Page;
  TComponentClass Class;
};
std::mutex& RegistryLock() {
  static std::mutex m;
  return m;
}
std::vector<Entry>& Entries() {
  static std::vector<Entry> entries;
  return entries;
}
}  // namespace

void RegisterComponents(const std::string& Page, std::initializer_list<TComponentClass> Classes) {
  std::lock_guard lk(RegistryLock());
  for (const auto& c : Classes) {
    bool known = false;
    for (const auto& e : Entries()) known = known || SameText(e.Class.ClassName, c.ClassName);
    if (!known) Entries().push_back({Page, c});
  }
}

std::vector<std::string> RegisteredPages() {
  std::lock_guard lk(RegistryLock());
  std::vector<std::string> pages;
  for (const auto& e : Entries()) {
    bool seen = false;
    for (const auto& p : pages) seen = seen || p == e.Page;
    if (!seen) pages.push_back(e.Page);
  }
  return pages;
}

std::vector<std::string> RegisteredClasses(const std::string& Page) {
  std::lock_guard lk(RegistryLock());
  std::vector<std::string> names;
  for (const auto& e : Entries())
    if (e.Page == Page) names.push_back(e.Class.ClassName);
  return names;
}

const TComponentClass* FindComponentClass(const std::string& ClassName) {
  std::lock_guard lk(RegistryLock());
  for (const auto& e : Entries())
    if (SameText(e.Class.ClassName, ClassName)) return &e.Class;
  return nullptr;
}

}  // namespace Halyard::Framework
