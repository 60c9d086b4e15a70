#pragma once
// Published properties per component class: what form files store and an object inspector
// shows. The setter of each property is the component's own writer, so its guards and side
// effects run while a form is read as they do in code.
#include <any>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "halyard/framework/Classes.h"

namespace Halyard::Framework {

enum TTypeKind { tkInteger, tkBoolean, tkString, tkChar, tkEnumeration, tkSet, tkClass, tkMethod };

// Integer, character (0..255), enumeration ordinal and set bits travel as int64_t.
using TPropValue = std::variant<int64_t, bool, std::string, TComponent*>;

struct TPropInfo {
  std::string Name;
  TTypeKind Kind = tkInteger;
  std::string TypeName;                 // "Integer", "TBaudrate", "TComm", ...
  std::vector<std::string> ValueNames;  // enumeration values, or the elements of a set
  std::optional<TPropValue> Default;    // stored only when the value differs from it
  std::function<TPropValue(TComponent&)> Get;
  std::function<void(TComponent&, const TPropValue&)> Set;  // empty for a read-only property
  // tkClass: whether a component may be referenced.
  std::function<bool(TComponent*)> Accepts;
  // tkMethod: whether a handler is assigned; assign the handler a form's method holds
  // (false when it is of another type), or clear it with nullptr.
  std::function<bool(TComponent&)> Assigned;
  std::function<bool(TComponent&, const std::any*)> SetMethod;
  // Shown, never stored or read from a form.
  bool ReadOnly() const { return Kind == tkMethod ? !SetMethod : !Set; }
};

struct TClassInfo {
  std::string ClassName;
  std::string ParentName;                               // empty for a root class
  std::function<TComponent*(TComponent* AOwner)> Create;  // empty for an abstract class
  std::vector<TPropInfo> Props;                         // own properties, in storing order
  std::string Page;                                     // palette page, empty when not on one
  int PaletteOrder = -1;                                // place on the palette
};

// Registers (or replaces) the class's information; a class on a palette stays there.
void RegisterClassInfo(TClassInfo Info);
// Puts the class on a palette page (a class that is on one already keeps its page). A class
// without streaming information gets an entry of its own.
void RegisterOnPalette(const std::string& Page, const std::string& ClassName,
                       std::function<TComponent*(TComponent* AOwner)> Create);
// The classes on palettes, in the order they were put there.
std::vector<const TClassInfo*> PaletteClasses();
const TClassInfo* FindClassInfo(const std::string& ClassName);
// Every published property of the class, inherited ones first; a redeclared property keeps
// its inherited place.
std::vector<const TPropInfo*> GetPropList(const std::string& ClassName);
const TPropInfo* GetPropInfo(const std::string& ClassName, const std::string& PropName);
// Whether a class is the named one or descends from it, by the registered parents.
bool InheritsFrom(const std::string& ClassName, const std::string& Ancestor);
// The default in form-file syntax, or empty when the property has none.
std::string DefaultText(const TPropInfo& Info);

// Builds the class information of C with the component's own accessors:
//   TClassBuilder<TComm>("TComm", "TCommHandle").Create()
//       .String("DeviceName", &TComm::DeviceName, &TComm::SetDeviceName)
//       .Commit();
template <class C>
class TClassBuilder {
 public:
  TClassBuilder(std::string ClassName, std::string ParentName) {
    Info_.ClassName = std::move(ClassName);
    Info_.ParentName = std::move(ParentName);
  }

  TClassBuilder& Create() {
    Info_.Create = [](TComponent* owner) -> TComponent* { return new C(owner); };
    return *this;
  }

  template <class G, class S>
  TClassBuilder& Integer(std::string Name, G Get, S Set, std::optional<int64_t> Default = {}) {
    return Scalar<int64_t>(std::move(Name), tkInteger, "Integer", Get, Set, OptValue(Default));
  }
  template <class G, class S>
  TClassBuilder& Boolean(std::string Name, G Get, S Set, std::optional<bool> Default = {}) {
    return Scalar<bool>(std::move(Name), tkBoolean, "Boolean", Get, Set, OptValue(Default));
  }
  template <class G, class S>
  TClassBuilder& String(std::string Name, G Get, S Set, std::optional<std::string> Default = {}) {
    return Scalar<std::string>(std::move(Name), tkString, "String", Get, Set, OptValue(Default));
  }
  template <class G, class S>
  TClassBuilder& Char(std::string Name, G Get, S Set, std::optional<char> Default = {}) {
    TPropInfo p = Base(std::move(Name), tkChar, "Char");
    if (Default) p.Default = int64_t{static_cast<unsigned char>(*Default)};
    p.Get = [Get](TComponent& c) -> TPropValue {
      return int64_t{static_cast<unsigned char>(std::invoke(Get, Self(c)))};
    };
    p.Set = [Set](TComponent& c, const TPropValue& v) {
      std::invoke(Set, Self(c), static_cast<char>(std::get<int64_t>(v)));
    };
    return Add(std::move(p));
  }
  template <class E, class G, class S>
  TClassBuilder& Enum(std::string Name, std::string TypeName, std::vector<std::string> Names, G Get,
                      S Set, std::optional<E> Default = {}) {
    TPropInfo p = Base(std::move(Name), tkEnumeration, std::move(TypeName));
    p.ValueNames = std::move(Names);
    if (Default) p.Default = static_cast<int64_t>(*Default);
    p.Get = [Get](TComponent& c) -> TPropValue { return static_cast<int64_t>(std::invoke(Get, Self(c))); };
    p.Set = [Set](TComponent& c, const TPropValue& v) {
      std::invoke(Set, Self(c), static_cast<E>(std::get<int64_t>(v)));
    };
    return Add(std::move(p));
  }
  // SetT is a Set<E> type, or an unsigned integer holding the bits.
  template <class SetT, class G, class S>
  TClassBuilder& SetOf(std::string Name, std::string TypeName, std::vector<std::string> Names, G Get,
                       S Set, std::optional<SetT> Default = {}) {
    TPropInfo p = Base(std::move(Name), tkSet, std::move(TypeName));
    p.ValueNames = std::move(Names);
    if (Default) p.Default = static_cast<int64_t>(BitsOf(*Default));
    p.Get = [Get](TComponent& c) -> TPropValue {
      return static_cast<int64_t>(BitsOf(SetT(std::invoke(Get, Self(c)))));
    };
    p.Set = [Set](TComponent& c, const TPropValue& v) {
      std::invoke(Set, Self(c), FromBitsOf<SetT>(static_cast<uint64_t>(std::get<int64_t>(v))));
    };
    return Add(std::move(p));
  }
  // A reference to another component of class T (nil is the default and is not stored).
  template <class T, class G, class S>
  TClassBuilder& Reference(std::string Name, std::string TypeName, G Get, S Set) {
    TPropInfo p = Base(std::move(Name), tkClass, std::move(TypeName));
    p.Default = static_cast<TComponent*>(nullptr);
    p.Get = [Get](TComponent& c) -> TPropValue {
      return static_cast<TComponent*>(std::invoke(Get, Self(c)));
    };
    p.Set = [Set](TComponent& c, const TPropValue& v) {
      std::invoke(Set, Self(c), dynamic_cast<T*>(std::get<TComponent*>(v)));
    };
    p.Accepts = [](TComponent* target) { return !target || dynamic_cast<T*>(target) != nullptr; };
    return Add(std::move(p));
  }
  // An event of handler type F.
  template <class F, class G, class S>
  TClassBuilder& Event(std::string Name, std::string TypeName, G Get, S Set) {
    TPropInfo p = Base(std::move(Name), tkMethod, std::move(TypeName));
    p.Assigned = [Get](TComponent& c) { return static_cast<bool>(std::invoke(Get, Self(c))); };
    p.SetMethod = [Set](TComponent& c, const std::any* method) {
      if (!method) {
        std::invoke(Set, Self(c), F{});
        return true;
      }
      const F* f = std::any_cast<F>(method);
      if (!f) return false;
      std::invoke(Set, Self(c), *f);
      return true;
    };
    return Add(std::move(p));
  }

  // A read-only property: an inspector shows it, form files neither store nor set it.
  template <class G>
  TClassBuilder& ReadOnlyBoolean(std::string Name, G Get) {
    TPropInfo p = Base(std::move(Name), tkBoolean, "Boolean");
    p.Get = [Get](TComponent& c) -> TPropValue { return static_cast<bool>(std::invoke(Get, Self(c))); };
    return Add(std::move(p));
  }

  void Commit() { RegisterClassInfo(std::move(Info_)); }

 private:
  static C& Self(TComponent& c) { return static_cast<C&>(c); }
  template <class T>
  static std::optional<TPropValue> OptValue(const std::optional<T>& v) {
    if (!v) return std::nullopt;
    return TPropValue(*v);
  }
  template <class SetT>
  static uint64_t BitsOf(const SetT& s) {
    if constexpr (std::is_integral_v<SetT>) return static_cast<uint64_t>(s);
    else return s.Bits();
  }
  template <class SetT>
  static SetT FromBitsOf(uint64_t bits) {
    if constexpr (std::is_integral_v<SetT>) return static_cast<SetT>(bits);
    else return SetT::FromBits(bits);
  }
  TPropInfo Base(std::string Name, TTypeKind Kind, std::string TypeName) {
    TPropInfo p;
    p.Name = std::move(Name);
    p.Kind = Kind;
    p.TypeName = std::move(TypeName);
    return p;
  }
  template <class V, class G, class S>
  TClassBuilder& Scalar(std::string Name, TTypeKind Kind, const char* TypeName, G Get, S Set,
                        std::optional<TPropValue> Default) {
    TPropInfo p = Base(std::move(Name), Kind, TypeName);
    p.Default = std::move(Default);
    p.Get = [Get](TComponent& c) -> TPropValue { return V(std::invoke(Get, Self(c))); };
    p.Set = [Set](TComponent& c, const TPropValue& v) {
      using Arg = std::conditional_t<std::is_same_v<V, int64_t>, int, V>;
      if constexpr (std::is_same_v<V, int64_t>)
        std::invoke(Set, Self(c), static_cast<Arg>(std::get<int64_t>(v)));
      else
        std::invoke(Set, Self(c), std::get<V>(v));
    };
    return Add(std::move(p));
  }
  TClassBuilder& Add(TPropInfo p) {
    Info_.Props.push_back(std::move(p));
    return *this;
  }
  TClassInfo Info_;
};

}  // namespace Halyard::Framework
