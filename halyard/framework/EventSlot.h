#pragma once
// An event handler that one thread may replace while another calls it.
#include <mutex>
#include <utility>

namespace Halyard::Framework {

template <class F>
class TEventSlot {
 public:
  F Get() const {
    std::lock_guard lk(M_);
    return F_;
  }
  void Set(F f) {
    std::lock_guard lk(M_);
    F_ = std::move(f);
  }
  // Calls the handler if one is assigned (outside the lock).
  template <class... A>
  void operator()(A&&... args) const {
    F f = Get();
    if (f) f(std::forward<A>(args)...);
  }

 private:
  mutable std::mutex M_;
  F F_;
};

}  // namespace Halyard::Framework
