#include "tree/ConnectionList.h"

#include <gtest/gtest.h>

#include "platform/BinaryIO.h"

namespace orvela {
namespace {

using Bytes = std::vector<uint8_t>;

TConnRow Row(const std::string& name, uint8_t kind, const std::string& port, int32_t baud) {
  TConnRow row;
  row.Enabled = true;
  row.Columns = {name, "XModem", port, "", "", "", "", std::to_string(kind)};
  TConnSettings s;
  s.Key.ConnName = name;
  s.Key.ConnType = kind;
  s.Key.PortName = port;
  s.Key.LinkAddress = port;
  s.BaudRate = baud;
  s.ModemMode = -2;
  s.ModemInit = "AT&F";
  s.Hangup = "ATH0";
  row.Settings = s;
  return row;
}

// Writes entries by hand, the way older versions and damaged files have them.
struct TFileBuilder {
  TBinaryWriter out;
  explicit TFileBuilder(uint32_t count) { out.U32(count); }
  void Texts(uint32_t enabled, const std::vector<std::string>& cp1251Texts) {
    out.U32(enabled);
    for (const auto& t : cp1251Texts) {
      out.U32(static_cast<uint32_t>(t.size()));
      out.Text(t);
    }
  }
  void Settings(const TConnSettings& s) {
    out.U32(kConnSettingsMarker);
    out.Bytes(EncodeConnSettings(s, TConnSettings::kStoredSize));
  }
};

const std::vector<std::string> kTexts = {"\xCD\xE0\xF1\xEE\xF1", "ModBus", "", "",
                                         "192.168.1.20",         "502",    "", "3"};

TEST(ConnectionFile, EntryLayout) {
  TConnectionList list;
  list.Rows.push_back(Row("Линия", 0, "COM3", 19200));
  list.Rows[0].Columns[ccProtocol] = "Обь";
  const Bytes bytes = EncodeConnectionList(list);

  TFileBuilder expected(1);
  expected.Texts(1, {"\xCB\xE8\xED\xE8\xFF", "\xCE\xE1\xFC", "COM3", "", "", "", "", "0"});
  expected.Settings(*list.Rows[0].Settings);
  EXPECT_EQ(bytes, expected.out.Data());

  // A row without a settings record still gets the marker and 196 zero bytes.
  list.Rows[0].Settings.reset();
  const Bytes bare = EncodeConnectionList(list);
  ASSERT_EQ(bare.size(), bytes.size());
  EXPECT_EQ(Bytes(bare.end() - 196, bare.end()), Bytes(196, 0));
}

TEST(ConnectionFile, RoundTrip) {
  TConnectionList list;
  list.Rows = {Row("Котельная", 0, "COM3", 19200), Row("ЦТП", 1, "COM1", 9600),
               Row("Насосная", 5, "COM4", 7)};
  list.Rows[1].Enabled = false;
  list.Rows[1].Columns[ccTelephone] = "89161234567";
  EXPECT_EQ(DecodeConnectionList(EncodeConnectionList(list)), list);
  EXPECT_EQ(DecodeConnectionList(EncodeConnectionList(TConnectionList{})), TConnectionList{});
}

// The settings record's padding and the bytes after each text are undefined: whatever the file held there
// is written back while the settings are unchanged; changed settings are written afresh.
TEST(ConnectionFile, BytesNoFieldHoldsSurviveASaveOfUnchangedSettings) {
  const TConnRow row = Row("Котельная", 0, "COM3", 19200);
  TFileBuilder file(1);
  file.Texts(1, {"\xCA", "XModem", "COM3", "", "", "", "", "0"});
  Bytes settings = EncodeConnSettings(*row.Settings, TConnSettings::kStoredSize);
  for (size_t i : {141u, 142u, 143u}) settings[i] = 0xEE;  // padding after the key
  settings[1 + 9 + 5] = 0xA5;  // in the tail of the 20-byte name field, after its 9 characters
  file.out.U32(kConnSettingsMarker);
  file.out.Bytes(settings);
  const Bytes bytes = file.out.Take();

  TConnectionList list = DecodeConnectionList(bytes);
  EXPECT_EQ(EncodeConnectionList(list), bytes);
  list.Rows[0].Settings->EchoTested = 1;  // not stored: still unchanged as far as the file goes
  EXPECT_EQ(EncodeConnectionList(list), bytes);

  list.Rows[0].Settings->BaudRate = 9600;
  const Bytes changed = EncodeConnectionList(list);
  ASSERT_EQ(changed.size(), bytes.size());
  EXPECT_EQ(DecodeConnectionList(changed).Rows[0].Settings->BaudRate, 9600);
  EXPECT_EQ(changed[changed.size() - TConnSettings::kStoredSize + 141], 0);  // padding written afresh
}

TEST(ConnectionFile, OlderEntriesGetDefaultSettingsAndTheNextEntryStaysInPlace) {
  const TConnRow first = Row("Первая", 0, "COM3", 19200);
  const TConnRow third = Row("Третья", 1, "COM5", 2400);
  TFileBuilder file(4);
  file.Texts(1, {"\xCF\xE5\xF0\xE2\xE0\xFF", "XModem", "COM3", "", "", "", "", "0"});
  file.Settings(*first.Settings);
  file.Texts(0, kTexts);  // older version: no marker, no settings
  file.Texts(1, {"\xD2\xF0\xE5\xF2\xFC\xFF", "XModem", "COM5", "", "", "", "", "1"});
  file.Settings(*third.Settings);
  file.Texts(1, kTexts);  // older entry at the very end

  const TConnectionList list = DecodeConnectionList(file.out.Data());
  ASSERT_EQ(list.Rows.size(), 4u);
  EXPECT_EQ(list.Rows[0], first);
  EXPECT_EQ(list.Rows[2], third);
  for (size_t i : {1u, 3u}) {
    SCOPED_TRACE(i);
    const TConnRow& old = list.Rows[i];
    EXPECT_EQ(old.Columns[ccName], "Насос");
    EXPECT_EQ(old.Columns[ccIpAddress], "192.168.1.20");
    EXPECT_EQ(old.Columns[ccKind], "3");
    ASSERT_TRUE(old.Settings);
    EXPECT_EQ(old.Settings->BaudRate, 9600);
    EXPECT_EQ(old.Settings->ModemInit, "ATE0Q0V1X0");
    EXPECT_EQ(old.Settings->Hangup, "+++ATH0");
    EXPECT_EQ(old.Settings->ModemMode, 0);
  }
  EXPECT_FALSE(list.Rows[1].Enabled);
}

TEST(ConnectionFile, TextsBeyondTheLimitAreCutWhenWrittenAndRefusedWhenRead) {
  TConnectionList list;
  list.Rows.push_back(Row("Линия", 0, "COM3", 9600));
  list.Rows[0].Columns[ccTelephone] = std::string(150, '7');
  const TConnectionList back = DecodeConnectionList(EncodeConnectionList(list));
  EXPECT_EQ(back.Rows[0].Columns[ccTelephone], std::string(kMaxConnTextBytes, '7'));

  TFileBuilder file(1);
  file.Texts(1, {"a", "b", "c", std::string(kMaxConnTextBytes + 1, '7'), "", "", "", "0"});
  try {
    DecodeConnectionList(file.out.Data());
    FAIL() << "a 100-byte text was accepted";
  } catch (const EFormatError& e) {
    EXPECT_EQ(e.Offset(), 4u + 4u + 3u * 5u);  // count, enabled, three one-byte texts
  }
}

TEST(ConnectionFile, DamagedFilesAreRefusedWithTheOffset) {
  // count, then one entry; its texts end at textsEnd.
  auto oneEntry = [](uint32_t count, bool withSettings) {
    TFileBuilder file(count);
    file.Texts(1, kTexts);
    if (withSettings) file.Settings(TConnSettings{});
    return file.out.Take();
  };
  const size_t textsEnd = oneEntry(1, false).size();
  const size_t entryEnd = oneEntry(1, true).size();
  auto hugeText = [] {
    TFileBuilder file(1);
    file.out.U32(1);
    file.out.U32(0x7FFFFFFF);
    file.out.Zeros(64);
    return file.out.Take();
  };
  auto shortSettings = [] {
    TFileBuilder file(1);
    file.Texts(1, kTexts);
    file.out.U32(kConnSettingsMarker);
    file.out.Zeros(100);
    return file.out.Take();
  };
  auto strayBytes = [] {
    TFileBuilder file(1);
    file.Texts(1, kTexts);
    file.out.Zeros(2);
    return file.out.Take();
  };
  const struct {
    const char* name;
    Bytes data;
    size_t offset;
  } kCases[] = {
      {"huge count", oneEntry(0xFFFFFFFF, true), 0},
      {"count one more than the entries", oneEntry(2, true), entryEnd},
      {"huge text length", hugeText(), 8},
      {"settings record cut short", shortSettings(), textsEnd + 4},
      {"two stray bytes where a marker belongs", strayBytes(), textsEnd},
      {"no count", {0x01, 0x00}, 0},
      // A count damaged downwards: the entries behind it would be dropped by the next save.
      {"count one less than the entries",
       [&] {
         Bytes two = oneEntry(2, true);
         const Bytes entry(two.begin() + 4, two.end());
         two.insert(two.end(), entry.begin(), entry.end());
         two[0] = 1;
         return two;
       }(),
       entryEnd},
      {"a stray byte after the last entry",
       [&] {
         Bytes one = oneEntry(1, true);
         one.push_back(0);
         return one;
       }(),
       entryEnd},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    try {
      DecodeConnectionList(c.data);
      ADD_FAILURE() << "accepted";
    } catch (const EFormatError& e) {
      EXPECT_EQ(e.Offset(), c.offset) << e.Reason();
    }
  }
}

TEST(ConnectionFile, EveryTruncationIsRefused) {
  TConnectionList list;
  list.Rows = {Row("Котельная", 0, "COM3", 19200), Row("ЦТП", 1, "COM1", 9600)};
  const Bytes bytes = EncodeConnectionList(list);
  // Cut right after the last entry's texts the file is a whole file of an older version.
  const size_t olderFileEnd = bytes.size() - 4 - TConnSettings::kStoredSize;
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    if (cut == olderFileEnd) continue;
    try {
      DecodeConnectionList(std::span(bytes).first(cut));
      ADD_FAILURE() << "a file cut at " << cut << " was accepted";
    } catch (const EFormatError& e) {
      EXPECT_LE(e.Offset(), cut);
    }
  }
}

}  // namespace
}  // namespace orvela
