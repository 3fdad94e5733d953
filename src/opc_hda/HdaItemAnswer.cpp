#include "opc_hda/HdaItemAnswer.h"

#include <algorithm>
#include <utility>

#include "platform/com/ComMemory.h"
#include "platform/com/ComVariant.h"
#include "platform/com/opc/OpcError.h"

namespace orvela {
namespace {
template <class T>
T* TaskArray(size_t n) {
  return static_cast<T*>(CoTaskMemAlloc(sizeof(T) * (n ? n : 1)));
}
}  // namespace

THdaItemAnswer::~THdaItemAnswer() {
  Free();
}

bool THdaItemAnswer::Allocate(DWORD count, HRESULT error) {
  Free();
  items_ = TaskArray<OPCHDA_ITEM>(count);
  errors_ = TaskArray<HRESULT>(count);
  if (!items_ || !errors_) {
    Free();
    return false;
  }
  count_ = count;
  for (DWORD i = 0; i < count; ++i) {
    items_[i] = OPCHDA_ITEM{0, 0, 0, nullptr, nullptr, nullptr};
    errors_[i] = error;
  }
  return true;
}

bool THdaItemAnswer::Fill(DWORD i, const std::vector<THdaRecord>& records, HRESULT error) {
  OPCHDA_ITEM& item = items_[i];
  FreeValues(item);
  const size_t n = records.size();
  errors_[i] = error;
  if (n == 0) return true;
  item.pftTimeStamps = TaskArray<FILETIME>(n);
  item.pdwQualities = TaskArray<DWORD>(n);
  item.pvDataValues = TaskArray<VARIANT>(n);
  if (item.pvDataValues)
    for (size_t k = 0; k < n; ++k) VariantInit(&item.pvDataValues[k]);
  if (!item.pftTimeStamps || !item.pdwQualities || !item.pvDataValues) {
    FreeValues(item);
    errors_[i] = E_OUTOFMEMORY;
    return false;
  }
  item.dwCount = static_cast<DWORD>(n);
  for (size_t k = 0; k < n; ++k) {
    const THdaRecord& r = records[k];
    item.pftTimeStamps[k] = r.Time;
    item.pdwQualities[k] = r.Quality;
    if (FAILED(TVariantToVariant(r.Value, &item.pvDataValues[k]))) {
      FreeValues(item);
      errors_[i] = E_OUTOFMEMORY;
      return false;
    }
  }
  return true;
}

bool THdaItemAnswer::AnyFailed() const {
  return std::any_of(errors_, errors_ + count_, [](HRESULT hr) { return FAILED(hr); });
}

void THdaItemAnswer::Release(OPCHDA_ITEM** items, HRESULT** errors) {
  *items = std::exchange(items_, nullptr);
  *errors = std::exchange(errors_, nullptr);
  count_ = 0;
}

void THdaItemAnswer::FreeValues(OPCHDA_ITEM& item) {
  if (item.pvDataValues)
    for (DWORD k = 0; k < item.dwCount; ++k) VariantClear(&item.pvDataValues[k]);
  CoTaskMemFree(item.pvDataValues);
  CoTaskMemFree(item.pdwQualities);
  CoTaskMemFree(item.pftTimeStamps);
  item.pvDataValues = nullptr;
  item.pdwQualities = nullptr;
  item.pftTimeStamps = nullptr;
  item.dwCount = 0;
}

void THdaItemAnswer::Free() {
  if (items_)
    for (DWORD i = 0; i < count_; ++i) FreeValues(items_[i]);
  CoTaskMemFree(items_);
  CoTaskMemFree(errors_);
  items_ = nullptr;
  errors_ = nullptr;
  count_ = 0;
}

}  // namespace orvela
