#include "tree/Settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "platform/BinaryIO.h"
#include "platform/Cp1251.h"

namespace orvela {
namespace {

// Every field with a value that differs from its neighbours, so a field at a wrong offset shows.
TSettings DistinctSettings() {
  TSettings s;
  s.ClockCheckMinutes = 0x0102;
  s.ChangeDateMinutes = 0x0304;
  s.AllowedClockDiffMinutes = 0x0506;
  s.QueuePauseMs = 0x0708;
  s.StartPauseMs = 0x090A;
  s.ClearJournalAtStart = true;
  s.TimeCorrectionMode = true;
  s.ReadMark = 1;
  s.ReaderThreads = 0x0B0C0D0E;
  s.CurrentDataFirst = true;
  s.CurrentDataMaxDelaySec = 0x0F10;
  s.ChannelLog = true;
  s.TarvelMRequestMode = 0x11121314;
  s.JournalEveryRequest = true;
  s.OrlixRequestMode = 1;
  s.SubscriptionSchedule = true;
  s.ScheduleStart = 0.25;
  s.ScheduleEnd = 0.75;
  s.RequestDayOn = true;
  s.RequestDay = 0x15161718;
  s.RerequestOnWrongDate = true;
  s.ModemJournal = true;
  s.ProjectFolder = "C:\\Проект\\";
  s.ConnectionFile = "C:\\Проект\\tConn.dat";
  s.TcpPort = 0x191A1B1C;
  s.TarvelMTreeLayout = 0x1D1E1F20;
  s.ChecksumMode = 1;
  s.RequestPauseMs = 0x21222324;
  s.SplitOrlixPackets = true;
  s.GprsWaitMinutes = 0x25262728;
  return s;
}

std::vector<uint8_t> Le(uint64_t v, size_t n) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return out;
}

std::vector<uint8_t> Double(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, 8);
  return Le(bits, 8);
}

std::vector<uint8_t> Field(const std::string& utf8) {
  std::string cp = Utf8ToCp1251(utf8);
  std::vector<uint8_t> out(1 + TSettings::kFolderWidth, 0);
  out[0] = static_cast<uint8_t>(cp.size());
  std::copy_n(cp.begin(), std::min<size_t>(cp.size(), TSettings::kFolderWidth), out.begin() + 1);
  return out;
}

TEST(SettingsRecord, EveryFieldSitsAtItsOffsetAndUnusedBytesAreZero) {
  const struct {
    size_t offset;
    std::vector<uint8_t> bytes;
  } kFields[] = {
      {0, Le(0x0102, 2)},
      {2, Le(0x0304, 2)},
      {4, Le(0x0506, 2)},
      {6, Le(0x0708, 2)},
      {8, Le(0x090A, 2)},
      {81, {1}},
      {82, {1}},
      {83, {1}},
      {84, Le(0x0B0C0D0E, 4)},
      {88, {1}},
      {90, Le(0x0F10, 2)},
      {92, {1}},
      {96, Le(0x11121314, 4)},
      {100, {1}},
      {101, {1}},
      {102, {1}},
      {104, Double(0.25)},
      {112, Double(0.75)},
      {120, {1}},
      {124, Le(0x15161718, 4)},
      {128, {1}},
      {129, {1}},
      {130, Field("C:\\Проект\\")},
      {251, Field("C:\\Проект\\tConn.dat")},
      {372, Le(0x191A1B1C, 4)},
      {376, Le(0x1D1E1F20, 4)},
      {380, {1}},
      {384, Le(0x21222324, 4)},
      {388, {1}},
      {392, Le(0x25262728, 4)},
  };
  const auto record = EncodeSettings(DistinctSettings());
  std::set<size_t> used;
  for (const auto& f : kFields) {
    SCOPED_TRACE(f.offset);
    ASSERT_LE(f.offset + f.bytes.size(), record.size());
    EXPECT_EQ(std::vector<uint8_t>(record.begin() + f.offset, record.begin() + f.offset + f.bytes.size()),
              f.bytes);
    for (size_t i = 0; i < f.bytes.size(); ++i) used.insert(f.offset + i);
  }
  for (size_t i = 0; i < record.size(); ++i) {
    if (!used.contains(i)) {
      EXPECT_EQ(record[i], 0) << "unused byte " << i;
    }
  }
}

TEST(SettingsRecord, DecodesWhatItEncodes) {
  const TSettings original = DistinctSettings();
  const TSettings decoded = DecodeSettings(EncodeSettings(original));
  EXPECT_EQ(EncodeSettings(decoded), EncodeSettings(original));
  EXPECT_EQ(decoded.ProjectFolder, "C:\\Проект\\");
  EXPECT_EQ(decoded.ReaderThreads, 0x0B0C0D0E);
  EXPECT_DOUBLE_EQ(decoded.ScheduleEnd, 0.75);
}

TEST(SettingsRecord, FolderTextsAreBoundedByTheirField) {
  // A length byte beyond the field (damage, or garbage from an old writer) stops at the field's end.
  auto record = EncodeSettings(TSettings{});
  record[130] = 250;
  std::memset(record.data() + 131, 'A', 120);
  record[251] = 'B';  // first byte of the next field must not leak in
  EXPECT_EQ(DecodeSettings(record).ProjectFolder, std::string(120, 'A'));

  // A text longer than the field is cut to it, with the length byte saying so.
  TSettings s;
  s.ConnectionFile = std::string(130, 'x');
  const auto written = EncodeSettings(s);
  EXPECT_EQ(written[251], 120);
  EXPECT_EQ(DecodeSettings(written).ConnectionFile, std::string(120, 'x'));
}

TEST(SettingsRecord, ShortRecordIsRefusedWithItsLength) {
  const auto record = EncodeSettings(DistinctSettings());
  try {
    DecodeSettings(std::span(record).first(395));
    FAIL() << "a 395-byte record was accepted";
  } catch (const EFormatError& e) {
    EXPECT_EQ(e.Offset(), 395u);
  }
}

// Bytes no field holds are undefined: a record read and written back unchanged keeps all of them; a
// changed field is written whole, the tail of a changed text zeroed.
TEST(SettingsRecord, ARecordReadIsWrittenBackOverItsOwnBytes) {
  auto record = EncodeSettings(DistinctSettings());
  for (size_t unused : {10u, 80u, 89u, 93u, 103u, 121u, 381u, 389u}) record[unused] = 0x5A;
  const std::string folder = Utf8ToCp1251("C:\\Проект\\");
  std::memset(record.data() + 131 + folder.size(), 0xA5, 120 - folder.size());  // the folder's tail
  record[92] = 2;  // a flag that says "on" its own way

  TSettings settings = DecodeSettings(record);
  EXPECT_TRUE(settings.ChannelLog);
  EXPECT_EQ(EncodeSettings(settings), record);

  settings.ProjectFolder = "D:\\";
  settings.ChannelLog = false;
  auto changed = record;
  const auto field = Field("D:\\");
  std::copy(field.begin(), field.end(), changed.begin() + 130);
  changed[92] = 0;
  EXPECT_EQ(EncodeSettings(settings), changed);
}

// What a short file holds counts; the rest stays zero, as reading it into a zeroed record leaves it.
TEST(SettingsRecord, ShortRecordGivesTheFieldsItHolds) {
  const auto record = EncodeSettings(DistinctSettings());
  const TSettings s = DecodeSettingsPrefix(std::span(record).first(374));  // cut inside the TCP port
  EXPECT_EQ(s.ReaderThreads, 0x0B0C0D0E);
  EXPECT_EQ(s.ConnectionFile, "C:\\Проект\\tConn.dat");
  EXPECT_EQ(s.TcpPort, 0x1B1C);
  EXPECT_EQ(s.TarvelMTreeLayout, 0);
  EXPECT_EQ(s.GprsWaitMinutes, 0);
  EXPECT_EQ(DecodeSettingsPrefix({}).ReaderThreads, 0);
}

TEST(SettingsRecord, DefaultsPollAndListen) {
  const TSettings d = TSettings::Defaults();
  EXPECT_EQ(d.QueuePauseMs, 3000);
  EXPECT_EQ(d.StartPauseMs, 3000);
  EXPECT_EQ(d.RequestPauseMs, 100);
  EXPECT_EQ(d.TcpPort, 10100);
  EXPECT_EQ(d.GprsWaitMinutes, 2);
  EXPECT_EQ(d.ReaderThreads, 4);
}

}  // namespace
}  // namespace orvela
