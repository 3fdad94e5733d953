#pragma once
// Names, visibility, archive steps and attributes of the node ids of the Tarvel 2001 and F meters. The meter
// reports its own tree; these tables say which of the reported ids the server knows and how it shows them.
#include <cstdint>
#include <string>

#include "drivers/DriverRecords.h"
#include "tree/TreeItem.h"

namespace orvela {

// Ids of the meter's tree.
enum TTarvelId : uint8_t {
  tidData = 1,
  tidCurrent = 9,  // under Data; under Timer it is the clock
  tidStatus = 15,
  tidTimer = 17,
  tidTimerAlt = 24,  // also dispatched to the timer read
  tidIntegrator = 25,
  tidHours = 26,
  tidDays = 27,
  tidMonths = 28,
  tidVersion = 41,
  tidDateConfig = 57,
  tidHoursErrors = 90,
  tidDaysErrors = 91,
  tidDateColumn = 14,   // parameter id of an archive's date column
  tidErrorBranch = 81,  // the F meter's error archives
};

// Describe kinds: 2 for a current-data parameter and an error-archive parameter, 0 otherwise.
constexpr int kDescribeOther = 0;
constexpr int kDescribeValueParameter = 2;

// Archive steps of the maker's meters.
constexpr int32_t kHourStep = 3'600'000;
constexpr int32_t kDayStep = 86'400'000;

// One row of a family's node table.
struct TTarvelNodeRow {
  uint8_t parent;  // id of the parent; 0: the device
  uint8_t id;
  const char* ru;
  const char* en;
  bool da;
  bool hda;
  int32_t step;
  int dataType;  // 0: no attributes
};

// The error-archive parameters are shown as text records.
constexpr int kDataTypeErrorRecord = kDataTypeString;

// Name of a parameter id (low four bits the quantity, high four bits the channel - 1); empty when the
// quantity is unknown (the date column 14 among them).
std::string TarvelParameterName(uint8_t id, bool english);
std::string TarvelParameterUnits(uint8_t id);

// Fills a fresh node for the path (name, visibility, archive step, attributes) and returns its name;
// empty when the driver has no such node.
std::string DescribeTarvel2001Node(const TIdPath& path, bool english, TNTreeData& node, int& kind);
// The same for a node already hanging in a device's subtree, named by its own and its ancestors' ids.
std::string DescribeTarvel2001TreeNode(TNTreeData& node, bool english, int& kind);
// The same for the F meter (Russian names only).
std::string DescribeTarvelFNode(const TIdPath& path, TNTreeData& node, int& kind);

// The computer's network name, at most 16 characters (the node-name attribute of parameter nodes).
std::string ComputerName();

}  // namespace orvela
