#pragma once
// The connection list (tConn.dat): one row per connection with its check box, the eight columns the
// connection window shows and the connection's settings record. A plain data model; the window comes
// on top of it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "links/records/ConnRecords.h"

namespace orvela {

// The columns in display order.
enum TConnColumn : size_t {
  ccName,
  ccProtocol,
  ccPort,
  ccTelephone,
  ccIpAddress,
  ccRemotePort,
  ccLocalPort,
  ccKind,  // connection kind as a decimal number
  kConnColumnCount,
};

// Longest column text the file may hold, in Windows-1251 bytes. Longer texts are cut when written; a
// file holding one is refused as damaged, since no version ever wrote one that its own reader could take.
constexpr size_t kMaxConnTextBytes = 99;
// Marks an entry followed by its settings record; entries of older versions have neither.
constexpr uint32_t kConnSettingsMarker = 0x0000FFFF;

struct TConnRow {
  bool Enabled = false;
  std::array<std::string, kConnColumnCount> Columns;  // UTF-8
  // Written as 196 zero bytes when absent; every row read from a file has one.
  std::optional<TConnSettings> Settings;
  friend bool operator==(const TConnRow&, const TConnRow&) = default;
};

struct TConnectionList {
  std::vector<TConnRow> Rows;
  friend bool operator==(const TConnectionList&, const TConnectionList&) = default;
};

std::vector<uint8_t> EncodeConnectionList(const TConnectionList& list);
// Throws EFormatError, with the offset, for a truncated or damaged file; trailing bytes are ignored.
TConnectionList DecodeConnectionList(std::span<const uint8_t> data);

}  // namespace orvela
