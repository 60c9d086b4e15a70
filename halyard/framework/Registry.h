#pragma once
// The component palette: pages of component classes, kept in the classes' own information
// (Properties.h), which form readers use too.
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "halyard/framework/Classes.h"
#include "halyard/framework/Properties.h"

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
// The class of that name if it can be created, or nullptr. The pointer stays valid.
const TClassInfo* FindComponentClass(const std::string& ClassName);

}  // namespace Halyard::Framework
