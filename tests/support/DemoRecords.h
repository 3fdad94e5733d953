#pragma once
// What the commands print for the demo meter's archive, computed from the simulator's own values.
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "metersim/Values.h"
#include "orvelactl/ServerClient.h"
#include "platform/DateTime.h"
#include "tree/DemoConfig.h"

namespace orvela::test {

// "YYYY-MM-DDTHH:MM" of a local time, as a person types it.
inline std::string IsoLocal(TDateTime t) {
  const SYSTEMTIME s = DateTimeToSystemTime(t);
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u", s.wYear, s.wMonth, s.wDay, s.wHour, s.wMinute);
  return text;
}

// records (an hda read's JSON) are the meter's hourly records of param from hour index first on, good.
inline void ExpectHourRecords(const nlohmann::json& records, int64_t first, uint8_t param) {
  for (size_t k = 0; k < records.size(); ++k) {
    const int64_t index = first + static_cast<int64_t>(k);
    SCOPED_TRACE(k);
    EXPECT_EQ(records[k]["time"],
              ctl::UtcText(LocalDateTimeToFileTime(sim::PeriodStart(sim::EPeriod::Hour, index))));
    EXPECT_EQ(records[k]["quality"], "0x000400C0");
    EXPECT_EQ(records[k]["value"].get<float>(),
              sim::ArchiveValue(kDemoMeterSerial, param, sim::EPeriod::Hour, index, false));
  }
}

}  // namespace orvela::test
