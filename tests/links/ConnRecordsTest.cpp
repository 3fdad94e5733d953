#include "links/records/ConnRecords.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>

#include "platform/BinaryIO.h"

namespace orvela {
namespace {

using Bytes = std::vector<uint8_t>;

// Writes a length-prefixed text (given as record bytes) at offset.
void PutText(Bytes& b, size_t offset, std::initializer_list<uint8_t> text) {
  b[offset] = static_cast<uint8_t>(text.size());
  std::copy(text.begin(), text.end(), b.begin() + static_cast<std::ptrdiff_t>(offset) + 1);
}
void PutAscii(Bytes& b, size_t offset, const char* text) {
  size_t n = std::strlen(text);
  b[offset] = static_cast<uint8_t>(n);
  std::memcpy(b.data() + offset + 1, text, n);
}
void PutI32(Bytes& b, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

// "Котельная" in Windows-1251.
constexpr std::initializer_list<uint8_t> kBoilerHouse1251 = {0xCA, 0xEE, 0xF2, 0xE5, 0xEB,
                                                             0xFC, 0xED, 0xE0, 0xFF};

TConnKey SampleKey() {
  TConnKey key;
  key.ConnName = "Котельная";
  key.ConnType = 3;
  key.ProtType = 1;
  key.PortName = "COM12";
  key.TelName = "89001234567";
  key.IP_Addr = "192.168.0.10";
  key.IP_Port = 4001;
  key.LocalPort = -1;
  key.LinkAddress = "192.168.0.10:4001";
  return key;
}

Bytes SampleKeyBytes() {
  Bytes b(141, 0);
  PutText(b, 0, kBoilerHouse1251);
  b[21] = 3;
  b[22] = 1;
  PutAscii(b, 23, "COM12");
  PutAscii(b, 30, "89001234567");
  PutAscii(b, 51, "192.168.0.10");
  PutI32(b, 82, 4001);
  PutI32(b, 86, 0xFFFFFFFF);
  PutAscii(b, 90, "192.168.0.10:4001");
  return b;
}

TEST(ConnKeyRecord, EncodesFieldByFieldAndDecodesBack) {
  auto encoded = EncodeConnKey(SampleKey());
  EXPECT_EQ(Bytes(encoded.begin(), encoded.end()), SampleKeyBytes());

  TConnKey decoded = DecodeConnKey(SampleKeyBytes());
  EXPECT_EQ(decoded.ConnName, "Котельная");
  EXPECT_EQ(decoded.PortName, "COM12");
  EXPECT_EQ(decoded.IP_Port, 4001);
  EXPECT_EQ(decoded.LocalPort, -1);
  EXPECT_EQ(decoded.LinkAddress, "192.168.0.10:4001");
  EXPECT_EQ(decoded, SampleKey());
}

TEST(ConnSettingsRecord, EncodesFullAndStoredSizes) {
  TConnSettings s;
  s.Key = SampleKey();
  s.BaudRate = 19200;
  s.ModemMode = -2;
  s.ModemInit = "ATE0Q0V0X4";
  s.Hangup = "+++ATH0";
  s.EchoFlag = 1;
  s.EchoTested = 7;

  Bytes expected(204, 0);
  Bytes key = SampleKeyBytes();
  std::copy(key.begin(), key.end(), expected.begin());
  PutI32(expected, 144, 19200);
  PutI32(expected, 148, 0xFFFFFFFE);
  PutAscii(expected, 152, "ATE0Q0V0X4");
  PutAscii(expected, 173, "+++ATH0");
  PutI32(expected, 196, 1);
  PutI32(expected, 200, 7);

  EXPECT_EQ(EncodeConnSettings(s), expected);
  EXPECT_EQ(DecodeConnSettings(expected), s);

  Bytes stored(expected.begin(), expected.begin() + 196);
  EXPECT_EQ(EncodeConnSettings(s, TConnSettings::kStoredSize), stored);
  TConnSettings fromStored = DecodeConnSettings(stored);
  EXPECT_EQ(fromStored.Hangup, "+++ATH0");
  EXPECT_EQ(fromStored.EchoFlag, 0);
  EXPECT_EQ(fromStored.EchoTested, 0);
}

TEST(ConnRecords, ShortDataIsAFormatError) {
  EXPECT_THROW(DecodeConnKey(Bytes(140, 0)), EFormatError);
  EXPECT_THROW(DecodeConnSettings(Bytes(195, 0)), EFormatError);
  EXPECT_NO_THROW(DecodeConnSettings(Bytes(196, 0)));
}

// A length byte of 255 in each text field is read as the whole field and does not spill into the next.
TEST(ConnRecords, OversizedLengthBytesAreClampedToTheField) {
  using Getter = std::string (*)(const TConnSettings&);
  struct Field {
    size_t offset, width;
    Getter get;
  };
  const Field fields[] = {
      {0, 20, [](const TConnSettings& s) { return s.Key.ConnName; }},
      {23, 6, [](const TConnSettings& s) { return s.Key.PortName; }},
      {30, 20, [](const TConnSettings& s) { return s.Key.TelName; }},
      {51, 30, [](const TConnSettings& s) { return s.Key.IP_Addr; }},
      {90, 50, [](const TConnSettings& s) { return s.Key.LinkAddress; }},
      {152, 20, [](const TConnSettings& s) { return s.ModemInit; }},
      {173, 22, [](const TConnSettings& s) { return s.Hangup; }},
  };
  for (const auto& f : fields) {
    SCOPED_TRACE(f.offset);
    Bytes b(204, 0);
    for (size_t i = 0; i < 204; ++i) b[i] = static_cast<uint8_t>('a' + i % 26);
    for (const auto& other : fields) b[other.offset] = 0;
    b[f.offset] = 255;
    b[21] = 3;             // ConnType, right after ConnName
    PutI32(b, 144, 9600);  // BaudRate, right after the key and its padding
    PutI32(b, 196, 0);
    PutI32(b, 200, 0);
    TConnSettings s = DecodeConnSettings(b);
    EXPECT_EQ(f.get(s), std::string(b.begin() + static_cast<std::ptrdiff_t>(f.offset) + 1,
                                    b.begin() + static_cast<std::ptrdiff_t>(f.offset + 1 + f.width)));
    EXPECT_EQ(s.Key.ConnType, 3);
    EXPECT_EQ(s.BaudRate, 9600);
    // Written back, the length byte is the field width.
    EXPECT_EQ(EncodeConnSettings(s)[f.offset], f.width);
  }
}

TEST(ConnRecords, TextsAreCutToTheirWidthInRecordBytes) {
  TConnKey key;
  key.ConnName = "АбвгдежзийклмнопрстуфхцчшщЫ";  // 27 Cyrillic letters: 54 bytes of UTF-8, 27 of cp1251
  key.PortName = "COM1234";
  auto bytes = EncodeConnKey(key);
  EXPECT_EQ(bytes[0], 20);
  EXPECT_EQ(bytes[1], 0xC0);   // А
  EXPECT_EQ(bytes[20], 0xF3);  // у, the 20th letter
  EXPECT_EQ(bytes[23], 6);
  TConnKey back = DecodeConnKey(bytes);
  EXPECT_EQ(back.ConnName, "Абвгдежзийклмнопрсту");
  EXPECT_EQ(back.PortName, "COM123");
  EXPECT_EQ(NormalizeConnKey(key).ConnName, back.ConnName);
}

TEST(ConnRecords, KeysCompareByFieldsNotStrayBytes) {
  Bytes a = SampleKeyBytes();
  Bytes b = a;
  // Garbage after the texts, as older writers left it.
  b[0 + 1 + 9] = 'x';
  b[23 + 1 + 5] = 0x7F;
  b[90 + 1 + 17] = 'z';
  EXPECT_EQ(DecodeConnKey(a), DecodeConnKey(b));
  auto rewritten = EncodeConnKey(DecodeConnKey(b));
  EXPECT_EQ(Bytes(rewritten.begin(), rewritten.end()), a);  // zeros after each text

  TConnKey longName = SampleKey();
  longName.ConnName = "012345678901234567890";  // 21 characters: the last is never stored
  TConnKey cutName = SampleKey();
  cutName.ConnName = "01234567890123456789";
  EXPECT_EQ(longName, cutName);
  cutName.ConnName = "01234567890123456788";
  EXPECT_FALSE(longName == cutName);
  TConnKey otherPort = SampleKey();
  otherPort.IP_Port = 4002;
  EXPECT_FALSE(otherPort == SampleKey());
}

TEST(ConnRecords, KindTables) {
  ASSERT_NE(FindConnKind(0), nullptr);
  EXPECT_STREQ(FindConnKind(0)->className, "TLineCommPort");
  EXPECT_STREQ(FindConnKind(1)->className, "TModemCommPort");
  EXPECT_STREQ(FindConnKind(2)->className, "TUdpConnectionPort");
  EXPECT_STREQ(FindConnKind(3)->className, "TTCPConnectionPort");
  EXPECT_STREQ(FindConnKind(4)->className, "TOb5");
  EXPECT_STREQ(FindConnKind(5)->className, "TTCPConnectionServer");
  EXPECT_EQ(FindConnKind(6), nullptr);
  EXPECT_EQ(FindConnKind(-1), nullptr);

  const char* names[] = {"XModem", "ModBus", "MBus", "Обь", "ЦЭ6822", "Intelekon", "Neyron"};
  for (int code = 0; code < 7; ++code) {
    ASSERT_NE(FindProtKind(code), nullptr);
    EXPECT_STREQ(FindProtKind(code)->name, names[code]);
  }
  EXPECT_STREQ(FindProtKind(6)->lookupName, "NEYRON");
  EXPECT_EQ(FindProtKind(7), nullptr);

  struct Lookup {
    const char* text;
    std::optional<TProtKind> kind;
  };
  const Lookup lookups[] = {{"INTELEKON", TProtKind::Intel},
                            {"mbus", TProtKind::MBus},
                            {"NEYRON", TProtKind::Neyron},
                            {"Neyron", TProtKind::Neyron},
                            {"Обь", TProtKind::Ob},
                            {"ЦЭ6822", TProtKind::Electro},
                            {"обь", std::nullopt},  // only Latin letters ignore case
                            {"", std::nullopt},
                            {"XModem ", std::nullopt}};
  for (const auto& l : lookups) EXPECT_EQ(ProtKindByName(l.text), l.kind) << l.text;
}

TEST(ConnRecords, DefaultSettings) {
  TConnSettings d = TConnSettings::Defaults();
  EXPECT_EQ(d.BaudRate, 9600);
  EXPECT_EQ(d.ModemInit, "ATE0Q0V1X0");
  EXPECT_EQ(d.Hangup, "+++ATH0");
  EXPECT_EQ(d.ModemMode, 0);
  EXPECT_EQ(d.EchoFlag, 0);
  EXPECT_EQ(d.EchoTested, 0);
  EXPECT_EQ(d.Key, TConnKey{});
}

}  // namespace
}  // namespace orvela
