#pragma once
// The OPCHDA_ITEM records and errors a synchronous read hands its client, in task memory. Until Release
// the answer owns them and frees everything on destruction, so an early return leaks nothing.
#include <cstdint>
#include <vector>

#include "engine/EngineTasks.h"
#include "platform/com/opc/OpcHda.h"

namespace orvela {

class THdaItemAnswer {
 public:
  THdaItemAnswer() = default;
  ~THdaItemAnswer();
  THdaItemAnswer(const THdaItemAnswer&) = delete;
  THdaItemAnswer& operator=(const THdaItemAnswer&) = delete;

  // count records without values and count errors set to error; false when memory ran out.
  bool Allocate(DWORD count, HRESULT error);
  OPCHDA_ITEM& Item(DWORD i) { return items_[i]; }
  HRESULT& Error(DWORD i) { return errors_[i]; }
  // Copies the records into item i with the item's error. False when memory ran out (the item is left
  // without values, its error E_OUTOFMEMORY).
  bool Fill(DWORD i, const std::vector<THdaRecord>& records, HRESULT error);
  // True when some item's error is a failure.
  bool AnyFailed() const;
  void Release(OPCHDA_ITEM** items, HRESULT** errors);

 private:
  static void FreeValues(OPCHDA_ITEM& item);
  void Free();
  DWORD count_ = 0;
  OPCHDA_ITEM* items_ = nullptr;
  HRESULT* errors_ = nullptr;
};

}  // namespace orvela
