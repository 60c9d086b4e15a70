#pragma once
// The component class registry that palettes and form readers use.
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "halyard/framework/Classes.h"

namespace Halyard::Framework {

struct TComponentClass {
  std::string ClassName;
  std::function<TComponent*(TComponent* AOwner)> Create;
};

template <class T>
TComponentClass ComponentClass(std::string Name) {
  return {std::move(Name), [](TComponent* owner) -> TComponent* { return new T(owner); }};
}

// Puts the classes on a palette page; a class registered again keeps its first page.
void RegisterComponents(const std::string& Page, std::initializer_list<TComponentClass> Classes);
std::vector<std::string> RegisteredPages();
std::vector<std::string> RegisteredClasses(const std::string& Page);
// The class of that name, or nullptr.
const TComponentClass* FindComponentClass(const std::string& ClassName);

}  // namespace Halyard::Framework
