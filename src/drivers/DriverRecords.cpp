#include "drivers/DriverRecords.h"

#include <iterator>

#include "tree/TreeItem.h"

namespace orvela {

TPrbArray TPrbArray::MakeValue(const TVariant& value, uint8_t quality) {
  TPrbArray item;
  item.Value = value;
  item.ValueQuality = quality;
  item.Count = 1;
  return item;
}

void TPrbArray::SetSingleValue(const TVariant& value, uint8_t quality) {
  Items.assign(1, MakeValue(value, quality));
  Count = 1;
  ValueQuality = quality;
}

TIdPath TIdPath::Of(uint8_t address, std::initializer_list<uint8_t> fromTopDown) {
  std::vector<uint8_t> ids(std::rbegin(fromTopDown), std::rend(fromTopDown));
  ids.push_back(address);
  return TIdPath(std::move(ids));
}

TIdPath TIdPath::FromNode(const TNTreeData* node) {
  std::vector<uint8_t> ids;
  // The root ends the path (its id is 0); a device made outside any tree still names itself.
  for (const TNTreeData* n = node; n != nullptr; n = n->Parent) {
    if (n->Parent == nullptr && n->Kind != nkDevice) break;
    ids.push_back(n->Address);
  }
  return TIdPath(std::move(ids));
}

TIdPath TIdPath::Child(uint8_t id) const {
  std::vector<uint8_t> ids;
  ids.reserve(ids_.size() + 1);
  ids.push_back(id);
  ids.insert(ids.end(), ids_.begin(), ids_.end());
  return TIdPath(std::move(ids));
}

std::vector<uint8_t> TIdPath::RequestPath() const {
  std::vector<uint8_t> payload;
  payload.reserve(ids_.size() + 2);
  payload.push_back(static_cast<uint8_t>(ids_.size() + 1));
  payload.push_back(3);
  for (auto it = ids_.rbegin(); it != ids_.rend(); ++it) payload.push_back(*it);
  return payload;
}

std::string Hex2(uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[byte >> 4], kDigits[byte & 0x0F]};
}

std::string HexDump(std::span<const uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 3);
  for (uint8_t b : bytes) text += Hex2(b) + " ";
  return text;
}

}  // namespace orvela
