#pragma once
// The connection key that names one connection and the settings record the catalogue keeps per
// connection. Both are stored in the configuration files, so their byte layout is a file format.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "links/records/LinkAddress.h"

namespace orvela {

// Connection kinds (field ConnType).
enum class TConnKind : uint8_t {
  SerialLine = 0,
  DialUpModem = 1,
  Udp = 2,
  TcpClient = 3,
  ClosedLibrary = 4,
  InboundGprs = 5,
};

// Protocol kinds (field ProtType).
enum class TProtKind : uint8_t {
  XModem = 0,
  ModBus = 1,
  MBus = 2,
  Ob = 3,
  Electro = 4,
  Intel = 5,
  Neyron = 6,
};

struct TConnKindInfo {
  TConnKind kind;
  const char* className;  // link class the factory creates
  const char* caption;    // how the connection list names the kind
};
struct TProtKindInfo {
  TProtKind kind;
  const char* name;        // name shown in the connection list
  const char* lookupName;  // name the connection list looks up
};

// nullptr for a code outside the tables (the factory then makes no link / no framing).
const TConnKindInfo* FindConnKind(int code);
const TProtKindInfo* FindProtKind(int code);
// Protocol kind by the name the connection list shows or looks up; nullopt when unknown.
std::optional<TProtKind> ProtKindByName(std::string_view name);

// Texts are UTF-8 in memory and Windows-1251 in the record; widths are in bytes of the record.
struct TConnKey {
  static constexpr size_t kSize = 141;
  static constexpr size_t kConnNameWidth = 20, kPortNameWidth = 6, kTelNameWidth = 20, kIpAddrWidth = 30,
                          kLinkAddressWidth = 50;

  std::string ConnName;
  uint8_t ConnType = 0;
  uint8_t ProtType = 0;
  std::string PortName;
  std::string TelName;
  std::string IP_Addr;
  int32_t IP_Port = 0;
  int32_t LocalPort = 0;
  std::string LinkAddress;

  // Keys compare by their fields (as stored: texts cut to their widths), never by stray bytes.
  friend bool operator==(const TConnKey& a, const TConnKey& b);
};

struct TConnSettings {
  static constexpr size_t kSize = 204;
  static constexpr size_t kStoredSize = 196;  // what the connection file keeps (no echo fields)
  static constexpr size_t kModemInitWidth = 20, kHangupWidth = 22;

  TConnKey Key;
  int32_t BaudRate = 0;
  int32_t ModemMode = 0;
  std::string ModemInit;
  std::string Hangup;
  int32_t EchoFlag = 0;
  int32_t EchoTested = 0;

  // Settings an old connection-file entry without a settings record gets.
  static TConnSettings Defaults();
  friend bool operator==(const TConnSettings&, const TConnSettings&) = default;
};

// Field-by-field codecs. Decoders clamp a length byte larger than its field; they throw EFormatError
// (platform/BinaryIO.h) when the data is shorter than the record.
std::array<uint8_t, TConnKey::kSize> EncodeConnKey(const TConnKey& key);
TConnKey DecodeConnKey(std::span<const uint8_t> bytes);
std::vector<uint8_t> EncodeConnSettings(const TConnSettings& settings, size_t size = TConnSettings::kSize);
// Accepts the full 204-byte record or the stored 196-byte prefix (echo fields then zero).
TConnSettings DecodeConnSettings(std::span<const uint8_t> bytes);

// Cuts every text of the key to its field width (in Windows-1251 bytes), as storing and reloading would.
TConnKey NormalizeConnKey(const TConnKey& key);

}  // namespace orvela
