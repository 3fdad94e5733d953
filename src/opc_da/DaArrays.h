#pragma once
// Out-arrays in task memory that go to the client only when the whole call succeeded.
#include <cstddef>
#include <cstring>

#include "platform/com/ComMemory.h"

namespace orvela {

template <class T>
class TTaskArray {
 public:
  // n zeroed elements; Ok() is false when memory ran out.
  explicit TTaskArray(size_t n) : p_(static_cast<T*>(CoTaskMemAlloc(n * sizeof(T)))) {
    if (p_) std::memset(static_cast<void*>(p_), 0, n * sizeof(T));
  }
  ~TTaskArray() { CoTaskMemFree(p_); }
  TTaskArray(const TTaskArray&) = delete;
  TTaskArray& operator=(const TTaskArray&) = delete;

  bool Ok() const { return p_ != nullptr; }
  T* Get() const { return p_; }
  T& operator[](size_t i) const { return p_[i]; }
  T* Release() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  T* p_;
};

}  // namespace orvela
