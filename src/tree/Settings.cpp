#include "tree/Settings.h"

#include <algorithm>
#include <cstring>

#include "platform/BinaryIO.h"
#include "platform/Cp1251.h"

namespace orvela {
namespace {

// Byte offsets of the fields in the record; everything not named here is unused: zero in a new record,
// kept as it was in one that was read.
enum TSettingsOffset : size_t {
  soClockCheck = 0,
  soChangeDate = 2,
  soAllowedClockDiff = 4,
  soQueuePause = 6,
  soStartPause = 8,
  soClearJournal = 81,
  soTimeCorrection = 82,
  soReadMark = 83,
  soReaderThreads = 84,
  soCurrentDataFirst = 88,
  soCurrentDataMaxDelay = 90,
  soChannelLog = 92,
  soTarvelMRequestMode = 96,
  soJournalEveryRequest = 100,
  soOrlixRequestMode = 101,
  soSubscriptionSchedule = 102,
  soScheduleStart = 104,
  soScheduleEnd = 112,
  soRequestDayOn = 120,
  soRequestDay = 124,
  soRerequestOnWrongDate = 128,
  soModemJournal = 129,
  soProjectFolder = 130,
  soConnectionFile = 251,
  soTcpPort = 372,
  soTarvelMTreeLayout = 376,
  soChecksumMode = 380,
  soRequestPause = 384,
  soSplitOrlixPackets = 388,
  soGprsWait = 392,
};

std::string FieldText(std::span<const uint8_t> record, size_t offset) {
  TBinaryReader r(record.subspan(offset, 1 + TSettings::kFolderWidth));
  return Cp1251ToUtf8(r.ShortString(TSettings::kFolderWidth));
}

// Puts each field at its offset of the record it is given.
class TRecordWriter {
 public:
  explicit TRecordWriter(std::array<uint8_t, TSettings::kSize>& record) : record_(record) {}
  void U8(size_t offset, uint8_t v) { record_[offset] = v; }
  // A flag that already says v keeps its byte.
  void Bool(size_t offset, bool v) {
    if ((record_[offset] != 0) != v) record_[offset] = v ? 1 : 0;
  }
  void U16(size_t offset, uint16_t v) {
    Put(offset, [&](TBinaryWriter& w) { w.U16(v); });
  }
  void I32(size_t offset, int32_t v) {
    Put(offset, [&](TBinaryWriter& w) { w.I32(v); });
  }
  void F64(size_t offset, double v) {
    Put(offset, [&](TBinaryWriter& w) { w.F64(v); });
  }
  // Length byte clamped to the field, Windows-1251 characters, zeros after them; a field that already
  // holds this text keeps its bytes.
  void Text(size_t offset, const std::string& utf8) {
    if (FieldText(record_, offset) == utf8) return;
    Put(offset, [&](TBinaryWriter& w) { w.ShortString(Utf8ToCp1251(utf8), TSettings::kFolderWidth); });
  }

 private:
  template <class Fn>
  void Put(size_t offset, Fn encode) {
    TBinaryWriter w;
    encode(w);
    std::memcpy(record_.data() + offset, w.Data().data(), w.Size());
  }
  std::array<uint8_t, TSettings::kSize>& record_;
};

}  // namespace

TSettings TSettings::Defaults() {
  TSettings s;
  s.QueuePauseMs = 3000;
  s.StartPauseMs = 3000;
  s.RequestPauseMs = 100;
  s.TcpPort = 10100;
  s.GprsWaitMinutes = 2;
  // Enough to poll several connections side by side without crowding a workstation; 0 would poll nothing.
  s.ReaderThreads = 4;
  return s;
}

std::array<uint8_t, TSettings::kSize> EncodeSettings(const TSettings& s) {
  std::array<uint8_t, TSettings::kSize> record = s.Stored.value_or(std::array<uint8_t, TSettings::kSize>{});
  TRecordWriter w(record);
  w.U16(soClockCheck, s.ClockCheckMinutes);
  w.U16(soChangeDate, s.ChangeDateMinutes);
  w.U16(soAllowedClockDiff, s.AllowedClockDiffMinutes);
  w.U16(soQueuePause, s.QueuePauseMs);
  w.U16(soStartPause, s.StartPauseMs);
  w.Bool(soClearJournal, s.ClearJournalAtStart);
  w.Bool(soTimeCorrection, s.TimeCorrectionMode);
  w.U8(soReadMark, s.ReadMark);
  w.I32(soReaderThreads, s.ReaderThreads);
  w.Bool(soCurrentDataFirst, s.CurrentDataFirst);
  w.U16(soCurrentDataMaxDelay, s.CurrentDataMaxDelaySec);
  w.Bool(soChannelLog, s.ChannelLog);
  w.I32(soTarvelMRequestMode, s.TarvelMRequestMode);
  w.Bool(soJournalEveryRequest, s.JournalEveryRequest);
  w.U8(soOrlixRequestMode, s.OrlixRequestMode);
  w.Bool(soSubscriptionSchedule, s.SubscriptionSchedule);
  w.F64(soScheduleStart, s.ScheduleStart);
  w.F64(soScheduleEnd, s.ScheduleEnd);
  w.Bool(soRequestDayOn, s.RequestDayOn);
  w.I32(soRequestDay, s.RequestDay);
  w.Bool(soRerequestOnWrongDate, s.RerequestOnWrongDate);
  w.Bool(soModemJournal, s.ModemJournal);
  w.Text(soProjectFolder, s.ProjectFolder);
  w.Text(soConnectionFile, s.ConnectionFile);
  w.I32(soTcpPort, s.TcpPort);
  w.I32(soTarvelMTreeLayout, s.TarvelMTreeLayout);
  w.U8(soChecksumMode, s.ChecksumMode);
  w.I32(soRequestPause, s.RequestPauseMs);
  w.Bool(soSplitOrlixPackets, s.SplitOrlixPackets);
  w.I32(soGprsWait, s.GprsWaitMinutes);
  return record;
}

TSettings DecodeSettings(std::span<const uint8_t> bytes) {
  if (bytes.size() < TSettings::kSize)
    throw EFormatError(bytes.size(), "settings record has " + std::to_string(bytes.size()) + " of " +
                                         std::to_string(TSettings::kSize) + " bytes");
  TBinaryReader r(bytes.first(TSettings::kSize));
  auto at = [&r](size_t offset) -> TBinaryReader& {
    r.Seek(offset);
    return r;
  };
  auto flag = [&](size_t offset) { return at(offset).U8() != 0; };
  auto text = [&](size_t offset) { return Cp1251ToUtf8(at(offset).ShortString(TSettings::kFolderWidth)); };

  TSettings s;
  s.ClockCheckMinutes = at(soClockCheck).U16();
  s.ChangeDateMinutes = at(soChangeDate).U16();
  s.AllowedClockDiffMinutes = at(soAllowedClockDiff).U16();
  s.QueuePauseMs = at(soQueuePause).U16();
  s.StartPauseMs = at(soStartPause).U16();
  s.ClearJournalAtStart = flag(soClearJournal);
  s.TimeCorrectionMode = flag(soTimeCorrection);
  s.ReadMark = at(soReadMark).U8();
  s.ReaderThreads = at(soReaderThreads).I32();
  s.CurrentDataFirst = flag(soCurrentDataFirst);
  s.CurrentDataMaxDelaySec = at(soCurrentDataMaxDelay).U16();
  s.ChannelLog = flag(soChannelLog);
  s.TarvelMRequestMode = at(soTarvelMRequestMode).I32();
  s.JournalEveryRequest = flag(soJournalEveryRequest);
  s.OrlixRequestMode = at(soOrlixRequestMode).U8();
  s.SubscriptionSchedule = flag(soSubscriptionSchedule);
  s.ScheduleStart = at(soScheduleStart).F64();
  s.ScheduleEnd = at(soScheduleEnd).F64();
  s.RequestDayOn = flag(soRequestDayOn);
  s.RequestDay = at(soRequestDay).I32();
  s.RerequestOnWrongDate = flag(soRerequestOnWrongDate);
  s.ModemJournal = flag(soModemJournal);
  s.ProjectFolder = text(soProjectFolder);
  s.ConnectionFile = text(soConnectionFile);
  s.TcpPort = at(soTcpPort).I32();
  s.TarvelMTreeLayout = at(soTarvelMTreeLayout).I32();
  s.ChecksumMode = at(soChecksumMode).U8();
  s.RequestPauseMs = at(soRequestPause).I32();
  s.SplitOrlixPackets = flag(soSplitOrlixPackets);
  s.GprsWaitMinutes = at(soGprsWait).I32();
  s.Stored.emplace();
  std::copy_n(bytes.begin(), TSettings::kSize, s.Stored->begin());
  return s;
}

TSettings DecodeSettingsPrefix(std::span<const uint8_t> bytes) {
  std::array<uint8_t, TSettings::kSize> record{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), record.size()), record.begin());
  return DecodeSettings(record);
}

}  // namespace orvela
