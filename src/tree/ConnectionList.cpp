#include "tree/ConnectionList.h"

#include <charconv>

#include "links/records/LinkAddress.h"
#include "platform/BinaryIO.h"
#include "platform/Cp1251.h"

namespace orvela {
namespace {

// enabled + eight empty texts: the smallest entry, which bounds the count by the bytes there are.
constexpr size_t kMinEntrySize = 4 + kConnColumnCount * 4;

void WriteText(TBinaryWriter& out, const std::string& utf8) {
  std::string text = Utf8ToCp1251(utf8);
  if (text.size() > kMaxConnTextBytes) text.resize(kMaxConnTextBytes);
  out.U32(static_cast<uint32_t>(text.size()));
  out.Text(text);
}

std::string ReadText(TBinaryReader& in) {
  const size_t at = in.Offset();
  const uint32_t length = in.U32();
  if (length > kMaxConnTextBytes)
    throw EFormatError(
        at, "text of " + std::to_string(length) + " bytes, longer than " + std::to_string(kMaxConnTextBytes));
  return Cp1251ToUtf8(in.Text(length));
}

// The settings record after the marker, or the defaults an entry of an older version gets.
void ReadSettings(TBinaryReader& in, TConnRow& row) {
  const size_t at = in.Offset();
  row.Settings = TConnSettings::Defaults();
  if (in.Remaining() == 0) return;
  if (in.Remaining() < 4) throw EFormatError(at, "unexpected end of data in an entry");
  if (in.U32() != kConnSettingsMarker) {
    in.Seek(at);
    return;
  }
  const auto bytes = in.Bytes(TConnSettings::kStoredSize);
  row.Settings = DecodeConnSettings(bytes);
  row.StoredSettings.assign(bytes.begin(), bytes.end());
}

// The stored part of the settings, from the bytes read when the settings are still what they held.
std::vector<uint8_t> SettingsBytes(const TConnRow& row) {
  std::vector<uint8_t> bytes = EncodeConnSettings(*row.Settings, TConnSettings::kStoredSize);
  if (row.StoredSettings.size() == TConnSettings::kStoredSize &&
      EncodeConnSettings(DecodeConnSettings(row.StoredSettings), TConnSettings::kStoredSize) == bytes)
    return row.StoredSettings;
  return bytes;
}

}  // namespace

std::vector<uint8_t> EncodeConnectionList(const TConnectionList& list) {
  TBinaryWriter out;
  out.U32(static_cast<uint32_t>(list.Rows.size()));
  for (const TConnRow& row : list.Rows) {
    out.U32(row.Enabled ? 1 : 0);
    for (const std::string& column : row.Columns) WriteText(out, column);
    out.U32(kConnSettingsMarker);
    if (row.Settings)
      out.Bytes(SettingsBytes(row));
    else
      out.Zeros(TConnSettings::kStoredSize);
  }
  return out.Take();
}

TConnectionList DecodeConnectionList(std::span<const uint8_t> data) {
  TBinaryReader in(data);
  const uint32_t count = in.U32();
  if (count > in.Remaining() / kMinEntrySize)
    throw EFormatError(0, "count of " + std::to_string(count) + " entries exceeds what the " +
                              std::to_string(in.Remaining()) + " bytes left can hold");
  TConnectionList list;
  for (uint32_t i = 0; i < count; ++i) {
    TConnRow row;
    row.Enabled = in.U32() != 0;
    for (std::string& column : row.Columns) column = ReadText(in);
    ReadSettings(in, row);
    list.Rows.push_back(std::move(row));
  }
  if (in.Remaining() != 0)
    throw EFormatError(in.Offset(), std::to_string(in.Remaining()) + " bytes after the last of " +
                                        std::to_string(count) + " entries");
  return list;
}

namespace {

int ColumnNumber(const std::string& text) {
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() ? value : 0;
}

}  // namespace

std::optional<TConnKey> ConnKeyFromRow(const TConnRow& row) {
  std::optional<TProtKind> prot = ProtKindByName(row.Columns[ccProtocol]);
  if (!prot) return std::nullopt;
  TConnKey key;
  key.ConnName = row.Columns[ccName];
  key.ProtType = static_cast<uint8_t>(*prot);
  key.ConnType = static_cast<uint8_t>(ColumnNumber(row.Columns[ccKind]));
  key.PortName = row.Columns[ccPort];
  key.TelName = row.Columns[ccTelephone];
  key.IP_Addr = row.Columns[ccIpAddress];
  key.IP_Port = ColumnNumber(row.Columns[ccRemotePort]);
  key.LocalPort = ColumnNumber(row.Columns[ccLocalPort]);
  key.LinkAddress = BuildLinkAddress(key);
  return key;
}

}  // namespace orvela
