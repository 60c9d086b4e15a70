#pragma once
// Small value set over an enumeration, in the manner of Pascal sets.
#include <bit>
#include <cstdint>
#include <initializer_list>
#include <type_traits>

namespace Halyard::Framework {

template <class E, int MaxBits = 64>
class Set {
  static_assert(std::is_enum_v<E>, "Set<E> needs an enumeration");
  static_assert(MaxBits > 0 && MaxBits <= 64, "Set<E> holds at most 64 values");

 public:
  constexpr Set() = default;
  constexpr Set(std::initializer_list<E> values) {
    for (E v : values) Include(v);
  }
  static constexpr Set FromBits(uint64_t bits) {
    Set s;
    s.bits_ = bits;
    return s;
  }

  constexpr bool Contains(E v) const { return (bits_ & Mask(v)) != 0; }
  constexpr Set& Include(E v) {
    bits_ |= Mask(v);
    return *this;
  }
  constexpr Set& Exclude(E v) {
    bits_ &= ~Mask(v);
    return *this;
  }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr int Count() const { return std::popcount(bits_); }
  constexpr uint64_t Bits() const { return bits_; }

  constexpr Set operator+(Set o) const { return FromBits(bits_ | o.bits_); }
  constexpr Set operator-(Set o) const { return FromBits(bits_ & ~o.bits_); }
  constexpr Set operator*(Set o) const { return FromBits(bits_ & o.bits_); }
  constexpr Set& operator+=(Set o) {
    bits_ |= o.bits_;
    return *this;
  }
  constexpr Set& operator-=(Set o) {
    bits_ &= ~o.bits_;
    return *this;
  }
  constexpr bool operator==(const Set&) const = default;
  // Subset test, as Pascal's <=.
  constexpr bool SubsetOf(Set o) const { return (bits_ & ~o.bits_) == 0; }

 private:
  static constexpr uint64_t Mask(E v) {
    auto n = static_cast<unsigned>(v);
    return n < static_cast<unsigned>(MaxBits) ? (uint64_t{1} << n) : 0;
  }
  uint64_t bits_ = 0;
};

}  // namespace Halyard::Framework
