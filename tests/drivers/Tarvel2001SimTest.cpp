// The Tarvel 2001 driver against the simulated meter, through the real TCP link and XModem framing: clock
// and serial number, current and timer values, every archive kind and the failures a line produces.
#include <gtest/gtest.h>

#include <map>

#include "drivers/SimLine.h"
#include "drivers/Tarvel2001Nodes.h"
#include "metersim/TarvelDevice.h"
#include "metersim/Values.h"

namespace orvela {
namespace {

constexpr const char* kSerial = "12345678";
constexpr double kSecond = 1.0 / 86400;
using test::kSimStart;

class Tarvel2001Line : public test::TSimLineTest {
 protected:
  Tarvel2001Line() : model(Model(1, kSerial)), nodes_(model, Record()) {}

  TNTreeData* Node(std::initializer_list<uint8_t> idsFromTop) { return nodes_.Node(idsFromTop); }

  // A current read as the reader thread starts it: count 0, quality "not connected".
  static TPrbArray Preset() {
    TPrbArray result;
    result.ValueQuality = kQualityNotConnected;
    return result;
  }

  TTarvel2001& model;

 private:
  test::TSimDeviceNodes nodes_;
};

TEST_F(Tarvel2001Line, SerialNumberAndClock) {
  std::string serial;
  EXPECT_TRUE(model.ReadSerialNumber(1, serial));
  EXPECT_EQ(serial, kSerial);

  TDateTime before = clock.Now(), time = 0;
  EXPECT_TRUE(model.ReadDeviceClock(1, time));
  EXPECT_GE(time, before - kSecond);  // the meter sends whole seconds
  EXPECT_LE(time, clock.Now());

  line.Faults().Update([](sim::TFaults& f) { f.clockOffsetMinutes = -90; });
  EXPECT_TRUE(model.ReadDeviceClock(1, time));
  EXPECT_NEAR(time, clock.Now() - 90.0 / 1440, 2.0 / 1440);
}

TEST_F(Tarvel2001Line, CurrentValuesAndTheirStatus) {
  for (uint8_t p : {0x00, 0x03, 0x13, 0x0D}) {
    TNTreeData* node = Node({tidData, tidCurrent, p});
    TPrbArray result = Preset();
    TDateTime before = clock.Now();
    ASSERT_TRUE(model.ReadCurrent(result, node, 1)) << int(p);
    TDateTime after = clock.Now();
    EXPECT_EQ(result.Count, 1);
    EXPECT_EQ(result.ValueQuality, kQualityGood);
    ASSERT_EQ(result.Items.size(), 2u);
    // The meter shows whole minutes; the read may have crossed one.
    float value = static_cast<float>(result.Items[0].Value.d);
    float early = sim::CurrentValue(kSerial, p, before), late = sim::CurrentValue(kSerial, p, after);
    EXPECT_TRUE(value == early || value == late)
        << int(p) << ": " << value << " not " << early << "/" << late;
    EXPECT_EQ(result.Items[0].ValueQuality, kQualityGood);
    EXPECT_EQ(result.SingleValue(), &result.Items[0]);  // the same shape as a timer value
    EXPECT_EQ(result.Items[1].Value, TVariant::Int(RemapStatus(sim::CurrentStatus(kSerial, p))));
  }
}

TEST_F(Tarvel2001Line, TimerValuesFillTheDeviceRecordCaches) {
  struct Case {
    uint8_t id;
    TVariant expected;
  };
  const Case cases[] = {
      {tidStatus, TVariant::Int(sim::TimerStatusWord(kSerial))},
      {tidVersion, TVariant::Date(sim::FirmwareDate())},
      {tidDateConfig, TVariant::Date(sim::ConfigChangeDate(kSerial))},
  };
  for (const Case& c : cases) {
    TPrbArray result = Preset();
    ASSERT_TRUE(model.ReadCurrent(result, Node({tidTimer, c.id}), 1)) << int(c.id);
    ASSERT_NE(result.SingleValue(), nullptr) << int(c.id);
    EXPECT_EQ(result.SingleValue()->Value, c.expected) << int(c.id);
    EXPECT_EQ(result.SingleValue()->ValueQuality, kQualityGood);
    EXPECT_EQ(result.ValueQuality, kQualityGood);
    EXPECT_EQ(result.Count, 1);
  }
  EXPECT_EQ(Record().StatusCache.Value, TVariant::Int(sim::TimerStatusWord(kSerial)));
  EXPECT_EQ(Record().StatusCache.Quality, kQualityGood);
  EXPECT_NEAR(Record().LastStatusRead, clock.Now(), 60 * kSecond);

  TPrbArray clockValue = Preset();
  TDateTime before = clock.Now();
  ASSERT_TRUE(model.ReadCurrent(clockValue, Node({tidTimer, tidCurrent}), 1));
  ASSERT_NE(clockValue.SingleValue(), nullptr);
  EXPECT_EQ(clockValue.SingleValue()->Value.vt, VT_DATE);
  EXPECT_GE(clockValue.SingleValue()->Value.d, before - kSecond);
  EXPECT_EQ(Record().DateCache.Value, clockValue.SingleValue()->Value);
}

TEST_F(Tarvel2001Line, TimerValuesComeFromTheCachesWhileTheirPeriodsRun) {
  Settings().ClockCheckMinutes = 10;
  Settings().ChangeDateMinutes = 10;
  model.SetSettings(Settings());
  Record().LastClockRead = Record().LastStatusRead = clock.Now();
  Record().DateCache = {TVariant::Date(kSimStart), kQualityGood};
  Record().StatusCache = {TVariant::Int(0x77), kQualityGood};
  TakeExchanges();

  TPrbArray date = Preset(), status = Preset();
  EXPECT_TRUE(model.ReadCurrent(date, Node({tidTimer, tidCurrent}), 1));
  EXPECT_TRUE(model.ReadCurrent(status, Node({tidTimer, tidStatus}), 1));
  ASSERT_NE(date.SingleValue(), nullptr);
  ASSERT_NE(status.SingleValue(), nullptr);
  EXPECT_EQ(date.SingleValue()->Value, TVariant::Date(kSimStart));
  EXPECT_EQ(status.SingleValue()->Value, TVariant::Int(0x77));
  EXPECT_TRUE(TakeExchanges().empty());

  // Eleven whole minutes later the status is read from the meter again.
  Record().LastStatusRead = clock.Now() - 11.0 / 1440;
  TPrbArray fresh = Preset();
  EXPECT_TRUE(model.ReadCurrent(fresh, Node({tidTimer, tidStatus}), 1));
  ASSERT_NE(fresh.SingleValue(), nullptr);
  EXPECT_EQ(fresh.SingleValue()->Value, TVariant::Int(sim::TimerStatusWord(kSerial)));
  EXPECT_EQ(TakeExchanges().size(), 1u);
}

struct TArchiveCase {
  uint8_t id;
  sim::EPeriod period;
  int ringSize;
  bool integrator;
};
const TArchiveCase kArchives[] = {
    {tidIntegrator, sim::EPeriod::Month, 24, true},
    {tidHours, sim::EPeriod::Hour, 72, false},
    {tidDays, sim::EPeriod::Day, 45, false},
    {tidMonths, sim::EPeriod::Month, 24, false},
};

TEST_F(Tarvel2001Line, EveryArchiveIsReadOldestFirstAndStampedByItsDateColumn) {
  for (const TArchiveCase& a : kArchives) {
    SCOPED_TRACE(int(a.id));
    TNTreeData* heat = Node({tidData, a.id, 0x00});
    TakeExchanges();
    TPrbArray result;
    ASSERT_TRUE(model.ReadArchive(result, heat, kSimStart));
    // No dates were kept yet: the value column is followed by one date column.
    auto exchanges = TakeExchanges();
    ASSERT_EQ(exchanges.size(), 2u);
    EXPECT_EQ(exchanges[1].message.back(), tidDateColumn);

    sim::TRing ring = sim::ArchiveRing(a.period, a.ringSize, clock.Now(), false);
    ASSERT_EQ(result.Count, a.ringSize);
    ASSERT_EQ(result.Items.size(), size_t(a.ringSize));
    std::vector<int> order = ring.TimeOrder();
    for (int i = 0; i < a.ringSize; ++i) {
      int64_t index = ring.index[order[i]];
      const TPrbArray& item = result.Items[i];
      EXPECT_EQ(item.TimeStamp, sim::PeriodStart(a.period, index)) << i;
      EXPECT_EQ(item.TimeQuality, kQualityGood);
      EXPECT_EQ(item.Value, TVariant::Single(sim::ArchiveValue(kSerial, 0x00, a.period, index, a.integrator)))
          << i;
      EXPECT_EQ(item.ValueQuality, kQualityGood);
    }

    // The dates are kept in the archive branch for the next column of the same archive.
    TDateArrayCell* cell = heat->Parent->DateArrayCell.get();
    ASSERT_NE(cell, nullptr);
    ASSERT_NE(cell->DateArray, nullptr);
    EXPECT_EQ(cell->DateArray->NewestIndex, ring.newest);
    EXPECT_NE(std::find(archiveDates.begin(), archiveDates.end(), cell), archiveDates.end());
    TPrbArray mass;
    ASSERT_TRUE(model.ReadArchive(mass, Node({tidData, a.id, 0x01}), kSimStart));
    EXPECT_EQ(TakeExchanges().size(), 1u);
    EXPECT_EQ(mass.Count, a.ringSize);
  }
}

TEST_F(Tarvel2001Line, HourlyRingWrapsAndHoldsTheRecordsAroundTheRequestStart) {
  TPrbArray result;
  TDateTime from = EncodeDateTime(2024, 3, 2, 5, 0);
  ASSERT_TRUE(model.ReadArchive(result, Node({tidData, tidHours, 0x04}), from));
  const TPrbArray& dates = *Node({tidData, tidHours})->DateArrayCell->DateArray;
  // The newest record sits inside the ring, not at its end: the read had to wrap.
  EXPECT_NE(dates.NewestIndex, dates.Count - 1);
  EXPECT_EQ(result.Items.back().TimeStamp, EncodeDateTime(2024, 3, 2, 9, 0));
  // The whole ring comes back (the reader keeps what lies between the request's start and end).
  for (int hour : {4, 5, 6}) {
    TDateTime t = EncodeDateTime(2024, 3, 2, hour, 0);
    auto it = std::find_if(result.Items.begin(), result.Items.end(),
                           [&](const TPrbArray& item) { return item.TimeStamp == t; });
    ASSERT_NE(it, result.Items.end()) << hour;
    int64_t index = sim::PeriodIndex(sim::EPeriod::Hour, t);
    EXPECT_EQ(it->Value,
              TVariant::Single(sim::ArchiveValue(kSerial, 0x04, sim::EPeriod::Hour, index, false)));
  }
}

TEST_F(Tarvel2001Line, ErrorArchivesGiveDurationsAndFlags) {
  const std::pair<uint8_t, std::pair<sim::EPeriod, int>> archives[] = {
      {tidHoursErrors, {sim::EPeriod::Hour, 48}},
      {tidDaysErrors, {sim::EPeriod::Day, 31}},
  };
  for (auto [id, shape] : archives) {
    SCOPED_TRACE(int(id));
    auto [period, size] = shape;
    TNTreeData* node = Node({tidData, id, 0x01});
    EXPECT_EQ(node->Attributes[0].Value.AsDouble(), kDataTypeErrorRecord);
    TPrbArray result;
    ASSERT_TRUE(model.ReadArchive(result, node, kSimStart));
    ASSERT_EQ(result.Count, 2);
    const TPrbArray& durations = result.Items.at(0);
    const TPrbArray& flags = result.Items.at(1);
    ASSERT_EQ(durations.Count, size);
    ASSERT_EQ(flags.Count, size);
    sim::TRing ring = sim::ArchiveRing(period, size, clock.Now(), false);
    std::vector<int> order = ring.TimeOrder();
    int faulty = 0;
    for (int i = 0; i < size; ++i) {
      int64_t index = ring.index[order[i]];
      sim::TErrorRecord record = sim::ErrorRecord(kSerial, 0x01, period, index);
      faulty += record.minutes != 0;
      EXPECT_EQ(durations.Items[i].Value, TVariant::Single(static_cast<float>(record.minutes / 60.0))) << i;
      EXPECT_EQ(flags.Items[i].Value, TVariant::Int(RemapStatus(record.flags))) << i;
      EXPECT_EQ(flags.Items[i].TimeStamp, sim::PeriodStart(period, index)) << i;
    }
    EXPECT_GT(faulty, 0);  // the check saw some errors, not only empty records
  }
}

// --- Failures and the qualities they give. ---

TEST_F(Tarvel2001Line, FailedExchangesGiveDeviceFailureAndTheLineRecovers) {
  struct Case {
    const char* what;
    std::function<void(sim::TFaults&)> fault;
    bool ok;
    uint8_t quality;
  };
  const Case cases[] = {
      {"every reply with a bad check sum", [](sim::TFaults& f) { f.badCrc = -1; }, false,
       kQualityDeviceFailure},
      {"one reply with a bad check sum", [](sim::TFaults& f) { f.badCrc = 1; }, true, kQualityGood},
      {"no reply", [](sim::TFaults& f) { f.dropReplies = -1; }, false, kQualityDeviceFailure},
      {"replies shorter than declared", [](sim::TFaults& f) { f.shortReplies = -1; }, false,
       kQualityDeviceFailure},
      {"one request refused", [](sim::TFaults& f) { f.nakRequests = 1; }, true, kQualityGood},
  };
  TNTreeData* node = Node({tidData, tidCurrent, 0x00});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    line.Faults().Set({});
    line.Faults().Update(c.fault);
    TPrbArray result = Preset();
    EXPECT_EQ(model.ReadCurrent(result, node, 1), c.ok);
    EXPECT_EQ(result.ValueQuality, c.quality);
    EXPECT_EQ(result.Items.size(), c.ok ? 2u : 0u);
    EXPECT_EQ(result.Count, c.ok ? 1 : 0);
  }
  line.Faults().Set({});
  TPrbArray result = Preset();
  EXPECT_TRUE(model.ReadCurrent(result, node, 1));
}

TEST_F(Tarvel2001Line, NothingFromAMeterThatDoesNotAnswer) {
  // A good clock and serial first, so that stale answers would be at hand.
  std::string serial;
  TDateTime time = 0;
  ASSERT_TRUE(model.ReadSerialNumber(1, serial));
  ASSERT_TRUE(model.ReadDeviceClock(1, time));
  line.FindDevice(1)->Faults().Update([](sim::TFaults& f) { f.dropReplies = -1; });

  EXPECT_FALSE(model.ReadSerialNumber(1, serial));
  EXPECT_EQ(serial, "");
  TDateTime before = clock.Now();
  EXPECT_FALSE(model.ReadDeviceClock(1, time));
  EXPECT_GE(time, before);  // the computer's time, not the stale answer's
  TPrbArray timer = Preset();
  EXPECT_FALSE(model.ReadCurrent(timer, Node({tidTimer, tidStatus}), 1));
  EXPECT_EQ(timer.ValueQuality, kQualityDeviceFailure);
  EXPECT_EQ(timer.SingleValue(), nullptr);
  EXPECT_EQ(Record().StatusCache.Quality, kQualityBad);
}

TEST_F(Tarvel2001Line, WrongSerialAndWrongDatesAreReportedAsTheMeterSendsThem) {
  line.FindDevice(1)->Faults().Update([](sim::TFaults& f) {
    f.serial = "99999999";
    f.badDates = true;
  });
  std::string serial;
  EXPECT_TRUE(model.ReadSerialNumber(1, serial));
  EXPECT_EQ(serial, "99999999");  // the reader compares it with the record's and stops

  TDateTime before = clock.Now(), time = 0;
  EXPECT_FALSE(model.ReadDeviceClock(1, time));
  EXPECT_GE(time, before);
  TPrbArray version = Preset();
  EXPECT_FALSE(model.ReadCurrent(version, Node({tidTimer, tidVersion}), 1));
  EXPECT_EQ(version.ValueQuality, kQualityDeviceFailure);

  TPrbArray archive;
  ASSERT_TRUE(model.ReadArchive(archive, Node({tidData, tidDays, 0x00}), kSimStart));
  ASSERT_EQ(archive.Count, 45);
  for (const TPrbArray& item : archive.Items) {
    EXPECT_EQ(item.TimeQuality, kQualityBad);
    EXPECT_EQ(item.TimeStamp, 0.0);
  }
}

TEST_F(Tarvel2001Line, UnreachableLineGivesNotConnected) {
  // A port that refuses connections.
  sim::TLine closed;
  closed.ListenTcp();
  std::string address = closed.TcpAddress();
  closed.Stop();
  ASSERT_TRUE(link->SetAddress(address));

  TPrbArray current = Preset(), timer = Preset(), archive;
  EXPECT_FALSE(model.ReadCurrent(current, Node({tidData, tidCurrent, 0x00}), 1));
  EXPECT_EQ(current.ValueQuality, kQualityNotConnected);
  EXPECT_FALSE(model.ReadCurrent(timer, Node({tidTimer, tidStatus}), 1));
  EXPECT_EQ(timer.ValueQuality, kQualityNotConnected);
  EXPECT_FALSE(model.ReadArchive(archive, Node({tidData, tidHours, 0x00}), kSimStart));
  EXPECT_EQ(archive.Count, 0);
  std::string serial;
  TDateTime time = 0;
  EXPECT_FALSE(model.ReadSerialNumber(1, serial));
  EXPECT_FALSE(model.ReadDeviceClock(1, time));
}

TEST_F(Tarvel2001Line, ValueColumnThatDoesNotMatchItsDatesIsRefusedAfterOneDateRead) {
  TNTreeData* node = Node({tidData, tidHours, 0x00});
  TPrbArray good;
  ASSERT_TRUE(model.ReadArchive(good, node, kSimStart));
  TakeExchanges();

  line.FindDevice(1)->Faults().Update([](sim::TFaults& f) { f.valueCountDelta = 1; });
  TPrbArray result;
  EXPECT_FALSE(model.ReadArchive(result, node, kSimStart));
  EXPECT_EQ(result.Count, 0);
  EXPECT_TRUE(result.Items.empty());
  auto exchanges = TakeExchanges();
  ASSERT_EQ(exchanges.size(), 2u);  // the value column and one date column
  EXPECT_EQ(exchanges[0].message.back(), 0x00);
  EXPECT_EQ(exchanges[1].message.back(), tidDateColumn);
}

TEST_F(Tarvel2001Line, PartlyWrittenRingGivesExactlyItsWrittenRecords) {
  // The written records all lie past the first reply block, so only a look at the whole ring finds them.
  constexpr int kWritten = 5;
  line.FindDevice(1)->Faults().Update([](sim::TFaults& f) { f.ringFill = kWritten; });
  for (uint8_t id : {tidIntegrator, tidHours, tidDays, tidMonths, tidHoursErrors, tidDaysErrors}) {
    SCOPED_TRACE(int(id));
    const sim::TArchiveDef* def = sim::Tarvel2001Layout().FindArchive(tidData, id);
    ASSERT_NE(def, nullptr);
    uint8_t parameter = def->errors ? 0x01 : 0x00;
    TPrbArray result;
    ASSERT_TRUE(model.ReadArchive(result, Node({tidData, id, parameter}), kSimStart));
    sim::TRing ring = sim::ServedRing(sim::Tarvel2001Layout(), *def, clock.Now(), kWritten);
    std::vector<int64_t> written;
    for (int pos : ring.TimeOrder())
      if (ring.Written(pos)) written.push_back(ring.index[size_t(pos)]);
    ASSERT_EQ(written.size(), size_t(kWritten));
    const TPrbArray& stamped = def->errors ? result.Items.at(1) : result;
    ASSERT_EQ(stamped.Count, kWritten);
    ASSERT_EQ(stamped.Items.size(), size_t(kWritten));
    for (int i = 0; i < kWritten; ++i) {
      EXPECT_EQ(stamped.Items[i].TimeStamp, sim::PeriodStart(def->period, written[i])) << i;
      EXPECT_EQ(stamped.Items[i].TimeQuality, kQualityGood) << i;
      if (def->errors) {
        sim::TErrorRecord record = sim::ErrorRecord(kSerial, parameter, def->period, written[i]);
        EXPECT_EQ(result.Items[0].Items.at(i).Value, TVariant::Single(float(record.minutes / 60.0))) << i;
        EXPECT_EQ(stamped.Items[i].Value, TVariant::Int(RemapStatus(record.flags))) << i;
      } else {
        EXPECT_EQ(stamped.Items[i].Value, TVariant::Single(sim::ArchiveValue(kSerial, parameter, def->period,
                                                                             written[i], def->integrator)))
            << i;
      }
    }
  }
}

TEST_F(Tarvel2001Line, UnwrittenArchiveIsEmptyAndGood) {
  line.FindDevice(1)->Faults().Update([](sim::TFaults& f) { f.emptyArchives = true; });
  TPrbArray result;
  EXPECT_TRUE(model.ReadArchive(result, Node({tidData, tidMonths, 0x00}), kSimStart));
  EXPECT_EQ(result.Count, 0);
  EXPECT_TRUE(result.Items.empty());
  EXPECT_EQ(TakeExchanges().size(), 1u);  // an empty column needs no dates
}

// --- Discovery of the meter's own tree. ---

TEST_F(Tarvel2001Line, DiscoveryWalkFindsTheKnownNodes) {
  std::vector<std::string> found;
  std::function<void(const TIdPath&, int)> walk = [&](const TIdPath& path, int level) {
    TRListData list;
    ASSERT_TRUE(model.ReadBranchList(level + 3, path.RequestPath(), list));
    for (int32_t i = 0; i < list.Count; ++i) {
      TIdPath child = path.Child(list.Ids[i]);
      if (!model.IsKnownPath(child)) continue;
      TNTreeData node;
      std::string name;
      int kind = 0;
      model.DescribeNode(child, node, name, kind);
      found.push_back(std::string(level, ' ') + name);
      if ((list.Flags[i] & 1) == 0) walk(child, level + 1);
    }
  };
  walk(TIdPath{1}, 0);
  auto has = [&](const std::string& line) {
    return std::find(found.begin(), found.end(), line) != found.end();
  };
  EXPECT_TRUE(has("Пользовательские данные"));
  EXPECT_TRUE(has(" Почасовой аварийный архив"));
  EXPECT_TRUE(has("  Температура - канал 2"));  // 0x13 under the current data
  EXPECT_TRUE(has(" Состояние прибора"));
  EXPECT_TRUE(has("  Наработка в часах"));
  // Root 2, data 7, timer 4, current 8, archives 4 × 7 and 2 × 3 (the date columns are no nodes).
  EXPECT_EQ(found.size(), 2u + 7 + 4 + 8 + 28 + 6);
}

TEST_F(Tarvel2001Line, BranchListOfAnUnknownNodeRaisesAfterThreeAttempts) {
  TRListData list;
  list.Count = 2;
  auto path = TIdPath{0x33, 1}.RequestPath();
  channel.Clear();
  try {
    model.ReadBranchList(int(path.size()), path, list);
    FAIL() << "no exception";
  } catch (const ETarvelException& e) {
    // The meter answered (a refusal, not a list): not a protocol failure.
    EXPECT_STREQ(e.what(), "Ошибка списка ветвей в параметрах прибора");
  }
  EXPECT_EQ(list.Count, 0);
  EXPECT_TRUE(list.Ids.empty());
  auto exchanges = TakeExchanges();
  ASSERT_EQ(exchanges.size(), 3u);
  for (const auto& e : exchanges) EXPECT_EQ(e.message, (std::vector<uint8_t>{0, 0x48, 4, 0, 3, 3, 1, 0x33}));
  auto lines = channel.Texts(TMemoryChannelLog::Kind::Line);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "ТАРВЕЛ-2001 - запрос дерева"), 3);
  EXPECT_FALSE(channel.Contains(TMemoryChannelLog::Kind::Line, "Разбор идентификаторов"));
}

}  // namespace
}  // namespace orvela
