#pragma once
// Owners for task memory a server hands out to its client.
#include <cstddef>

#include "platform/com/ComMemory.h"
#include "platform/com/ComVariant.h"
#include "platform/com/opc/OpcHda.h"

namespace orvela {

// A task-memory array, freed when the holder goes.
template <class T>
class TTaskMem {
 public:
  TTaskMem() = default;
  ~TTaskMem() { CoTaskMemFree(p_); }
  TTaskMem(const TTaskMem&) = delete;
  TTaskMem& operator=(const TTaskMem&) = delete;
  T** Put() { return &p_; }
  T* Get() const { return p_; }
  T& operator[](size_t i) const { return p_[i]; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// Frees what the server allocated inside an OPCHDA_ITEM (the item itself belongs to its array).
inline void FreeHdaItem(OPCHDA_ITEM& item) {
  if (item.pvDataValues)
    for (DWORD k = 0; k < item.dwCount; ++k) VariantClear(&item.pvDataValues[k]);
  CoTaskMemFree(item.pvDataValues);
  CoTaskMemFree(item.pdwQualities);
  CoTaskMemFree(item.pftTimeStamps);
}

}  // namespace orvela
