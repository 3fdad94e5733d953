#include "engine/CheckPribor.h"

#include "platform/Cp1251.h"
#include "tree/TreeItem.h"

namespace orvela {

void TCheckPribor::BuildDeviceRecords(const TNTreeData* root) {
  std::lock_guard lock(mutex_);
  records_.clear();
  if (!root) return;
  for (const TNTreeData* device : root->Children) {
    const std::string serial = Utf8Prefix(device->Serial, 8);
    bool known = false;
    for (const auto& r : records_)
      known = known || (r->ModelCode == device->ModelCode && r->Serial == serial);
    if (known) continue;
    auto record = std::make_unique<TPribor>();
    record->Serial = serial;
    record->ModelCode = device->ModelCode;
    record->Address = device->Address;
    record->ConnKey = device->ConnKey;
    records_.push_back(std::move(record));
  }
}

TPribor* TCheckPribor::FindDeviceRecord(const std::string& serial) {
  std::lock_guard lock(mutex_);
  for (const auto& r : records_)
    if (r->Serial == serial) return r.get();
  return nullptr;
}

size_t TCheckPribor::Count() const {
  std::lock_guard lock(mutex_);
  return records_.size();
}

void TCheckPribor::Clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

}  // namespace orvela
