#pragma once
// The per-device state record the drivers read and update: clock, serial number and the caches that let
// a timer read be answered without asking the device again. The engine keeps one per configured device
// for the life of its run and hands a pointer to every data model it creates for that device.
#include <cstdint>
#include <string>

#include "links/records/ConnRecords.h"
#include "platform/DateTime.h"
#include "platform/Variant.h"

namespace orvela {

// A cached value and the quality it was read with.
struct TPrbCasheData {
  TVariant Value;
  uint8_t Quality = 0;
};

struct TPribor {
  std::string Name;  // used in the drivers' log lines
  TConnKey ConnKey;
  uint8_t ModelCode = 0;
  uint8_t Address = 0;
  std::string Serial;  // at most 8 characters
  TDateTime DeviceTime = 0;
  TDateTime LastClockRead = 0;
  TDateTime LastStatusRead = 0;
  TDateTime TimeCorrection = 0;  // 0 or one hour either way
  TPrbCasheData StatusCache;
  TPrbCasheData DateCache;
  bool TimeRead = false;
  bool OtherDevice = false;
  bool ReadFailed = false;
};

}  // namespace orvela
