#pragma once
// The engine's device records: one per configured device (model code and serial), built when the engine
// starts; readers find a record by serial and drivers keep their caches in it.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "drivers/Pribor.h"

namespace orvela {

struct TNTreeData;

class TCheckPribor {
 public:
  // Walks the devices (the root's children) in order; a device whose model code and serial repeat those
  // of an earlier one shares its record.
  void BuildDeviceRecords(const TNTreeData* root);
  // The first record with this serial, or nullptr.
  TPribor* FindDeviceRecord(const std::string& serial);
  size_t Count() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<TPribor>> records_;
};

}  // namespace orvela
