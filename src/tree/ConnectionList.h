#pragma once
// The connection list (tConn.dat): one row per connection with its check box, the eight columns the
// connection window shows and the connection's settings record. A plain data model; the window comes
// on top of it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
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

// A row's settings record. Links keep a pointer to their connection's record for their whole life, so the
// record lives on its own: its address stays the same however the list grows or is reordered (moving a
// row moves only the handle), and whoever replaces the list keeps a share of the old records
// (TConfigController keeps every record it listed). A copied row gets a record of its own, so an edited
// copy never changes what links see. Compares by the settings it holds.
class TStableConnSettings {
 public:
  TStableConnSettings() = default;
  TStableConnSettings(const TConnSettings& settings)  // NOLINT: a row is given settings by value
      : record_(std::make_shared<TConnSettings>(settings)) {}
  TStableConnSettings(const TStableConnSettings& other)
      : record_(other.record_ ? std::make_shared<TConnSettings>(*other.record_) : nullptr) {}
  TStableConnSettings& operator=(const TStableConnSettings& other) {
    if (this != &other) record_ = TStableConnSettings(other).record_;
    return *this;
  }
  TStableConnSettings(TStableConnSettings&&) noexcept = default;
  TStableConnSettings& operator=(TStableConnSettings&&) noexcept = default;

  explicit operator bool() const { return record_ != nullptr; }
  TConnSettings& operator*() const { return *record_; }
  TConnSettings* operator->() const { return record_.get(); }
  TConnSettings* get() const { return record_.get(); }
  // A share that keeps the record alive after the row is gone.
  const std::shared_ptr<TConnSettings>& Share() const { return record_; }
  void reset() { record_.reset(); }
  TConnSettings value_or(const TConnSettings& otherwise) const { return record_ ? *record_ : otherwise; }

  friend bool operator==(const TStableConnSettings& a, const TStableConnSettings& b) {
    return a.record_ == b.record_ || (a.record_ && b.record_ && *a.record_ == *b.record_);
  }

 private:
  std::shared_ptr<TConnSettings> record_;
};

struct TConnRow {
  bool Enabled = false;
  std::array<std::string, kConnColumnCount> Columns;  // UTF-8
  // Written as 196 zero bytes when absent; every row read from a file has one.
  TStableConnSettings Settings;
  // The 196 bytes the file held for the settings, empty for an entry of an older version. Written back
  // as they were while the settings they hold are unchanged, so the bytes no field holds (padding, the
  // tails of texts) survive a save.
  std::vector<uint8_t> StoredSettings;

  // Rows are equal when they show and hold the same; how the file laid the settings out does not count.
  friend bool operator==(const TConnRow& a, const TConnRow& b) {
    return a.Enabled == b.Enabled && a.Columns == b.Columns && a.Settings == b.Settings;
  }
};

struct TConnectionList {
  std::vector<TConnRow> Rows;
  friend bool operator==(const TConnectionList&, const TConnectionList&) = default;
};

// The connection key a row names: its columns, the protocol kind by the catalogue's own names (every
// kind, compared ignoring case) and the link address built from them. nullopt for a protocol the
// catalogue does not know.
std::optional<TConnKey> ConnKeyFromRow(const TConnRow& row);

std::vector<uint8_t> EncodeConnectionList(const TConnectionList& list);
// Throws EFormatError, with the offset, for a truncated or damaged file, and for bytes after the last
// entry: a count damaged downwards would otherwise drop the entries behind it on the next save.
TConnectionList DecodeConnectionList(std::span<const uint8_t> data);

}  // namespace orvela
