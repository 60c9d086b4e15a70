#include "halyard/framework/Properties.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "halyard/framework/FormText.h"

namespace Halyard::Framework {

namespace {
std::mutex& InfoLock() {
  static std::mutex m;
  return m;
}
// A deque keeps handed-out pointers valid while later classes register.
std::deque<TClassInfo>& Infos() {
  static std::deque<TClassInfo> infos;
  return infos;
}
// Property lists by upper-case class name, built on first use; registering drops them.
std::unordered_map<std::string, std::vector<const TPropInfo*>>& PropLists() {
  static std::unordered_map<std::string, std::vector<const TPropInfo*>> lists;
  return lists;
}
TClassInfo* FindLocked(const std::string& ClassName) {
  for (auto& i : Infos())
    if (SameText(i.ClassName, ClassName)) return &i;
  return nullptr;
}
}  // namespace

void RegisterClassInfo(TClassInfo Info) {
  std::lock_guard lk(InfoLock());
  PropLists().clear();
  if (TClassInfo* known = FindLocked(Info.ClassName)) {
    Info.Page = known->Page;
    Info.PaletteOrder = known->PaletteOrder;
    if (!Info.Create) Info.Create = known->Create;
    *known = std::move(Info);
  } else {
    Infos().push_back(std::move(Info));
  }
}

void RegisterOnPalette(const std::string& Page, const std::string& ClassName,
                       std::function<TComponent*(TComponent* AOwner)> Create) {
  std::lock_guard lk(InfoLock());
  static int order = 0;
  TClassInfo* info = FindLocked(ClassName);
  if (!info) {
    Infos().push_back(TClassInfo{ClassName, "", std::move(Create), {}, "", -1});
    info = &Infos().back();
  } else if (!info->Create) {
    info->Create = std::move(Create);
  }
  if (info->Page.empty()) {
    info->Page = Page;
    info->PaletteOrder = order++;
  }
}

std::vector<const TClassInfo*> PaletteClasses() {
  std::lock_guard lk(InfoLock());
  std::vector<const TClassInfo*> r;
  for (const auto& i : Infos())
    if (!i.Page.empty()) r.push_back(&i);
  std::sort(r.begin(), r.end(), [](auto* a, auto* b) { return a->PaletteOrder < b->PaletteOrder; });
  return r;
}

const TClassInfo* FindClassInfo(const std::string& ClassName) {
  std::lock_guard lk(InfoLock());
  return FindLocked(ClassName);
}

std::vector<const TPropInfo*> GetPropList(const std::string& ClassName) {
  std::lock_guard lk(InfoLock());
  std::string key = UpperCase(ClassName);
  if (auto cached = PropLists().find(key); cached != PropLists().end()) return cached->second;
  std::vector<const TClassInfo*> chain;
  for (const TClassInfo* c = FindLocked(ClassName); c && chain.size() < 64;
       c = c->ParentName.empty() ? nullptr : FindLocked(c->ParentName))
    chain.insert(chain.begin(), c);
  std::vector<const TPropInfo*> props;
  for (const TClassInfo* c : chain)
    for (const TPropInfo& p : c->Props) {
      bool replaced = false;
      for (auto& known : props)
        if (SameText(known->Name, p.Name)) {
          known = &p;
          replaced = true;
        }
      if (!replaced) props.push_back(&p);
    }
  if (!chain.empty()) PropLists()[key] = props;
  return props;
}

const TPropInfo* GetPropInfo(const std::string& ClassName, const std::string& PropName) {
  for (const TPropInfo* p : GetPropList(ClassName))
    if (SameText(p->Name, PropName)) return p;
  return nullptr;
}

bool InheritsFrom(const std::string& ClassName, const std::string& Ancestor) {
  std::lock_guard lk(InfoLock());
  int depth = 0;
  for (const TClassInfo* c = FindLocked(ClassName); c && depth < 64; ++depth) {
    if (SameText(c->ClassName, Ancestor)) return true;
    c = c->ParentName.empty() ? nullptr : FindLocked(c->ParentName);
  }
  return false;
}

std::string DefaultText(const TPropInfo& Info) {
  if (!Info.Default) return {};
  if (Info.Kind == tkClass) return "nil";
  return PropValueText(Info, *Info.Default);
}

}  // namespace Halyard::Framework
