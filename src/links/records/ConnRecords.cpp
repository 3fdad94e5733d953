#include "links/records/ConnRecords.h"

#include <algorithm>

#include "platform/BinaryIO.h"
#include "platform/Cp1251.h"

namespace orvela {
namespace {

// Captions are the texts of the wizard's kind page.
constexpr TConnKindInfo kConnKinds[] = {
    {TConnKind::SerialLine, "TLineCommPort",
     "Прямое соединение. Подключение непосредственно через последовательный порт компьютера."},
    {TConnKind::DialUpModem, "TModemCommPort",
     "Модемное соединение. Подключение через модем с указанием телефонного номера."},
    {TConnKind::Udp, "TUdpConnectionPort",
     "Сетевое соединение. По UDP протоколу  через преобразователи Ethernet/RS-232"},
    {TConnKind::TcpClient, "TTCPConnectionPort",
     "Сетевое соединение. По TCP протоколу  через преобразователи Ethernet/RS-232"},
    {TConnKind::ClosedLibrary, "TOb5", "Подключение через СДДЛ ОБЬ-5"},
    {TConnKind::InboundGprs, "TTCPConnectionServer", "GPRS соединение по TCP протоколу"},
};

constexpr TProtKindInfo kProtKinds[] = {
    {TProtKind::XModem, "XModem", "XModem"},  {TProtKind::ModBus, "ModBus", "ModBus"},
    {TProtKind::MBus, "MBus", "MBus"},        {TProtKind::Ob, "Обь", "Обь"},
    {TProtKind::Electro, "ЦЭ6822", "ЦЭ6822"}, {TProtKind::Intel, "Intelekon", "Intelekon"},
    {TProtKind::Neyron, "Neyron", "NEYRON"},
};

constexpr size_t kPaddingAfterKey = 3;

// The list compares protocol names ignoring the case of Latin letters only.
bool EqualsIgnoringLatinCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

// A text as its record field holds it: Windows-1251, at most width bytes.
std::string ToField(const std::string& utf8, size_t width) {
  std::string cp = Utf8ToCp1251(utf8);
  if (cp.size() > width) cp.resize(width);
  return cp;
}

std::string CutToField(const std::string& utf8, size_t width) {
  return Cp1251ToUtf8(ToField(utf8, width));
}

void WriteText(TBinaryWriter& w, const std::string& utf8, size_t width) {
  w.ShortString(ToField(utf8, width), width);
}

std::string ReadText(TBinaryReader& r, size_t width) {
  return Cp1251ToUtf8(r.ShortString(width));
}

void WriteKey(TBinaryWriter& w, const TConnKey& key) {
  WriteText(w, key.ConnName, TConnKey::kConnNameWidth);
  w.U8(key.ConnType);
  w.U8(key.ProtType);
  WriteText(w, key.PortName, TConnKey::kPortNameWidth);
  WriteText(w, key.TelName, TConnKey::kTelNameWidth);
  WriteText(w, key.IP_Addr, TConnKey::kIpAddrWidth);
  w.I32(key.IP_Port);
  w.I32(key.LocalPort);
  WriteText(w, key.LinkAddress, TConnKey::kLinkAddressWidth);
}

TConnKey ReadKey(TBinaryReader& r) {
  TConnKey key;
  key.ConnName = ReadText(r, TConnKey::kConnNameWidth);
  key.ConnType = r.U8();
  key.ProtType = r.U8();
  key.PortName = ReadText(r, TConnKey::kPortNameWidth);
  key.TelName = ReadText(r, TConnKey::kTelNameWidth);
  key.IP_Addr = ReadText(r, TConnKey::kIpAddrWidth);
  key.IP_Port = r.I32();
  key.LocalPort = r.I32();
  key.LinkAddress = ReadText(r, TConnKey::kLinkAddressWidth);
  return key;
}

void RequireSize(std::span<const uint8_t> bytes, size_t size, const char* what) {
  if (bytes.size() < size)
    throw EFormatError(bytes.size(), std::string(what) + ": " + std::to_string(size) + " bytes needed, " +
                                         std::to_string(bytes.size()) + " given");
}

}  // namespace

const TConnKindInfo* FindConnKind(int code) {
  for (const auto& info : kConnKinds)
    if (static_cast<int>(info.kind) == code) return &info;
  return nullptr;
}

const TProtKindInfo* FindProtKind(int code) {
  for (const auto& info : kProtKinds)
    if (static_cast<int>(info.kind) == code) return &info;
  return nullptr;
}

std::optional<TProtKind> ProtKindByName(std::string_view name) {
  for (const auto& info : kProtKinds)
    if (EqualsIgnoringLatinCase(name, info.name) || EqualsIgnoringLatinCase(name, info.lookupName))
      return info.kind;
  return std::nullopt;
}

bool operator==(const TConnKey& a, const TConnKey& b) {
  return EncodeConnKey(a) == EncodeConnKey(b);
}

std::array<uint8_t, TConnKey::kSize> EncodeConnKey(const TConnKey& key) {
  TBinaryWriter w;
  WriteKey(w, key);
  std::array<uint8_t, TConnKey::kSize> out{};
  std::copy_n(w.Data().begin(), TConnKey::kSize, out.begin());
  return out;
}

TConnKey DecodeConnKey(std::span<const uint8_t> bytes) {
  RequireSize(bytes, TConnKey::kSize, "connection key");
  TBinaryReader r(bytes.first(TConnKey::kSize));
  return ReadKey(r);
}

std::vector<uint8_t> EncodeConnSettings(const TConnSettings& settings, size_t size) {
  TBinaryWriter w;
  WriteKey(w, settings.Key);
  w.Zeros(kPaddingAfterKey);
  w.I32(settings.BaudRate);
  w.I32(settings.ModemMode);
  WriteText(w, settings.ModemInit, TConnSettings::kModemInitWidth);
  WriteText(w, settings.Hangup, TConnSettings::kHangupWidth);
  w.I32(settings.EchoFlag);
  w.I32(settings.EchoTested);
  std::vector<uint8_t> out = w.Take();
  // The connection file keeps a shorter prefix; anything longer than the record is zero-filled.
  out.resize(size, 0);
  return out;
}

TConnSettings DecodeConnSettings(std::span<const uint8_t> bytes) {
  RequireSize(bytes, TConnSettings::kStoredSize, "connection settings");
  TBinaryReader r(bytes.first(std::min(bytes.size(), TConnSettings::kSize)));
  TConnSettings s;
  s.Key = ReadKey(r);
  r.Skip(kPaddingAfterKey);
  s.BaudRate = r.I32();
  s.ModemMode = r.I32();
  s.ModemInit = ReadText(r, TConnSettings::kModemInitWidth);
  s.Hangup = ReadText(r, TConnSettings::kHangupWidth);
  if (r.Remaining() >= 8) {
    s.EchoFlag = r.I32();
    s.EchoTested = r.I32();
  }
  return s;
}

TConnSettings TConnSettings::Defaults() {
  TConnSettings s;
  s.BaudRate = 9600;
  s.ModemInit = "ATE0Q0V1X0";
  s.Hangup = "+++ATH0";
  return s;
}

TConnKey NormalizeConnKey(const TConnKey& key) {
  TConnKey k = key;
  k.ConnName = CutToField(key.ConnName, TConnKey::kConnNameWidth);
  k.PortName = CutToField(key.PortName, TConnKey::kPortNameWidth);
  k.TelName = CutToField(key.TelName, TConnKey::kTelNameWidth);
  k.IP_Addr = CutToField(key.IP_Addr, TConnKey::kIpAddrWidth);
  k.LinkAddress = CutToField(key.LinkAddress, TConnKey::kLinkAddressWidth);
  return k;
}

}  // namespace orvela
