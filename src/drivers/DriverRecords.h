#pragma once
// Records the drivers hand back: the result record of every read, the device/branch list of a scan, the
// id path that names a node to a driver, and the drivers' exception.
#include <cstdint>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/DateTime.h"
#include "platform/Variant.h"

namespace orvela {

struct TNTreeData;

// OPC DA qualities the drivers give their results.
constexpr uint8_t kQualityBad = 0;
constexpr uint8_t kQualityNotConnected = 8;
constexpr uint8_t kQualityDeviceFailure = 12;
constexpr uint8_t kQualityGood = 192;

// A driver failure reported by exception (the reader thread or the tree controller reports it).
class ETarvelException : public std::runtime_error {
 public:
  explicit ETarvelException(const std::string& message) : std::runtime_error(message) {}
};

// Result of every driver read. Current data: one child per value. Archives: one child per record. A date
// array: children carry only time stamps and time qualities, NewestIndex the ring position of the newest
// record.
struct TPrbArray {
  std::vector<TPrbArray> Items;
  int32_t Count = 0;
  uint8_t TimeQuality = 0;
  uint8_t ValueQuality = 0;
  uint8_t NewestIndex = 0;
  TDateTime TimeStamp = 0;
  TVariant Value;

  // A value item: the value, its quality and count 1.
  static TPrbArray MakeValue(const TVariant& value, uint8_t quality = kQualityGood);

  // A read of one value (a current value, a timer value) has one shape: Items[0] is the value item,
  // Count 1 and ValueQuality its quality; a current value adds its status as Items[1].
  void SetSingleValue(const TVariant& value, uint8_t quality = kQualityGood);
  // The value item of a single-value read; nullptr when the record holds none.
  const TPrbArray* SingleValue() const { return Count == 1 && !Items.empty() ? &Items[0] : nullptr; }
};

// Device addresses of a line scan, or the children of a node with their flags (bit 0: no children).
struct TRListData {
  int32_t Count = 0;
  std::vector<uint8_t> Ids;
  std::vector<uint8_t> Flags;
};

// The ids that name a node to a driver: the node's own id (its address byte), then its parent's, up to and
// including the device (whose id is its network address). The root's id 0 and everything beyond read as 0,
// as in a zero-filled buffer.
class TIdPath {
 public:
  TIdPath() = default;
  // Ids from the node up to the device.
  TIdPath(std::initializer_list<uint8_t> fromNodeUp) : ids_(fromNodeUp) {}
  explicit TIdPath(std::vector<uint8_t> fromNodeUp) : ids_(std::move(fromNodeUp)) {}

  // The path of a tree node: addresses from the node up to its device.
  static TIdPath FromNode(const TNTreeData* node);
  // The path of a node of a device given by its ids from the top level down.
  static TIdPath Of(uint8_t address, std::initializer_list<uint8_t> fromTopDown);

  // Id i (0: the node, 1: its parent …); 0 past the device.
  uint8_t Id(size_t i) const { return i < ids_.size() ? ids_[i] : 0; }
  size_t Size() const { return ids_.size(); }
  // Depth below the device: 0 for the device itself, -1 for the root.
  int Depth() const { return static_cast<int>(ids_.size()) - 1; }
  uint8_t DeviceAddress() const { return ids_.empty() ? 0 : ids_.back(); }
  // The path of a child of this node.
  TIdPath Child(uint8_t id) const;
  // The request payload naming the node: a count of the bytes that follow, 3, the device address, then the
  // ids from the top level down (the device itself is 02 03 a).
  std::vector<uint8_t> RequestPath() const;

 private:
  std::vector<uint8_t> ids_;
};

// "0A FF 12 " — two upper-case hex digits and a blank per byte, as the drivers' error lines show answers.
std::string HexDump(std::span<const uint8_t> bytes);
// Two upper-case hex digits.
std::string Hex2(uint8_t byte);

}  // namespace orvela
