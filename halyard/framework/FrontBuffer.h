#pragma once
// Received bytes that are taken from the front as they are used: taking moves an offset, and
// the storage is compacted only once most of it has been taken, so a reader that takes a little
// at a time, or a framer that takes a line at a time, costs the length of the data in all.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace Halyard::Framework {

class TFrontBuffer {
 public:
  size_t size() const { return S_.size() - Head_; }
  bool empty() const { return size() == 0; }
  char operator[](size_t i) const { return S_[Head_ + i]; }
  std::string substr(size_t Pos, size_t Count) const { return S_.substr(Head_ + Pos, Count); }
  void Append(std::string_view s) { S_.append(s); }
  void Push(char c) { S_ += c; }
  // Copies up to Count bytes from the front into Buffer and takes them; returns how many.
  size_t Take(void* Buffer, size_t Count) {
    size_t n = std::min(Count, size());
    if (n) std::memcpy(Buffer, S_.data() + Head_, n);
    Consume(n);
    return n;
  }
  void Consume(size_t Count) {
    Head_ += std::min(Count, size());
    if (Head_ == S_.size()) {
      Clear();
    } else if (Head_ > 4096 && Head_ > S_.size() / 2) {
      S_.erase(0, Head_);
      Head_ = 0;
    }
  }
  void Clear() {
    S_.clear();
    Head_ = 0;
  }

 private:
  std::string S_;
  size_t Head_ = 0;
};

}  // namespace Halyard::Framework
