#include "halyard/resources/Resources.h"

#include <algorithm>
#include <vector>

#include "halyard/resources/ResourceTables.h"

namespace Halyard::Resources {

namespace {
const std::vector<TResStringRec>& Table() {
  static const std::vector<TResStringRec> table = [] {
    std::vector<TResStringRec> t;
    const std::span<const TResStringRec> parts[] = {ConnectResources(), CommConnectResources(), GSMResources(), TAPIResources()};
    for (auto part : parts) t.insert(t.end(), part.begin(), part.end());
    std::sort(t.begin(), t.end(), [](auto& a, auto& b) { return a.Ident < b.Ident; });
    return t;
  }();
  return table;
}

const TResStringRec* Find(int ident) {
  auto& t = Table();
  auto it = std::lower_bound(t.begin(), t.end(), ident, [](auto& r, int id) { return r.Ident < id; });
  return it != t.end() && it->Ident == ident ? &*it : nullptr;
}
}  // namespace

std::string LoadResString(int Ident) {
  const TResStringRec* r = Find(Ident);
  return r ? r->Text : "";
}

bool HasResString(int Ident) { return Find(Ident) != nullptr; }

int ResStringIdent(std::string_view Name) {
  for (auto& r : Table())
    if (r.Name && Name == r.Name) return r.Ident;
  return -1;
}

}  // namespace Halyard::Resources
