// The Tarvel M driver against the simulated meter through the real TCP link and the XModem framing (and
// once through the ModBus tunnel): the tree in both layouts, current values of a branch, archives read by
// records and by parameters, records still being filled, bad dates and partly written archives. Expected
// values come from the simulator's value functions.
#include <gtest/gtest.h>

#include <cmath>

#include "drivers/SimLine.h"
#include "drivers/TarvelM.h"
#include "drivers/TarvelMDecode.h"
#include "drivers/TreeBuilders.h"
#include "metersim/TarvelMDevice.h"
#include "metersim/Values.h"

namespace orvela {
namespace {

constexpr const char* kSerial = "M0000007";
using test::TTestTreeBuilder;

int64_t HourIndex(TDateTime t) {
  return sim::PeriodIndex(sim::EPeriod::Hour, t);
}

class TarvelMLine : public test::TSimLineTest {
 protected:
  explicit TarvelMLine(const char* family = "tarvelm", TProtKind protocol = TProtKind::XModem)
      : TSimLineTest(test::TSimLineSetup{.meters = {{family, 7, kSerial}}, .protocol = protocol}) {}

  // The driver with the server settings given, its tree built through the builder.
  TTarvelM& Build(int layout, int requestMode, bool repeatOnBadDate = true) {
    TSettings& s = Settings();
    s.TarvelMTreeLayout = layout;
    s.TarvelMRequestMode = requestMode;
    s.RerequestOnWrongDate = repeatOnBadDate;
    auto& model = dynamic_cast<TTarvelM&>(DeviceModel(7));
    model.SetEnvironment({.Settings = s, .TreeBuilder = &builder});
    device = builder.Device(7, mcTarvelM);
    EXPECT_TRUE(model.BuildTree(device));
    return model;
  }

  // A node by the names from the device down.
  TNTreeData* At(std::initializer_list<const char*> names) {
    TNTreeData* node = device;
    for (const char* name : names) {
      TNTreeData* child = node == nullptr ? nullptr : TTestTreeBuilder::Child(node, name);
      EXPECT_NE(child, nullptr) << name;
      node = child;
    }
    return node;
  }

  sim::TFaultCell& MeterFaults() { return line.FindDevice(7, "maker")->Faults(); }

  size_t ArchiveRequests() {
    size_t n = 0;
    for (const sim::TExchangeRecord& r : TakeExchanges()) n += r.function == 0x42 ? 1 : 0;
    return n;
  }

  TTestTreeBuilder builder;
  TNTreeData* device = nullptr;
};

TEST_F(TarvelMLine, TreeWithArchivesAtTheTop) {
  Build(0, 0);
  EXPECT_EQ(device->Name, "ТАРВЕЛ М  (M0000007)");
  EXPECT_EQ(TTestTreeBuilder::Names(device),
            (std::vector<std::string>{"Мгновенные значения", "Оперативный архив", "Таймер", "Почасовой архив",
                                      "Посуточный архив", "Помесячный архив", "Почасовой аварийный архив"}));
  EXPECT_EQ(TTestTreeBuilder::Names(At({"Мгновенные значения"})),
            (std::vector<std::string>{"Оперативные данные", "1-я  Подсистема", "2-я  Подсистема"}));
  // The second subsystem's error archive lists only operating hours: it is left out.
  EXPECT_EQ(TTestTreeBuilder::Names(At({"Почасовой аварийный архив"})),
            (std::vector<std::string>{"1-я  Подсистема"}));
  TNTreeData* hours = At({"Почасовой архив", "1-я  Подсистема"});
  ASSERT_NE(hours, nullptr);
  EXPECT_EQ(TTestTreeBuilder::Names(hours),
            (std::vector<std::string>{"Количество теплоты - канал 1", "Масса - канал 1",
                                      "Температура - канал 1", "Наработка в часах"}));
  EXPECT_EQ(hours->Address, sim::tarvelm::kSubsystem1);
  for (const TNTreeData* p : hours->Children) {
    EXPECT_EQ(p->Kind, nkGroupedParameter);  // record mode: read with the branch
    EXPECT_TRUE(p->HDAVisible);
    EXPECT_EQ(p->ArchiveStep, 3'600'000);
  }
  // Current parameters carry the value and status leaves.
  TNTreeData* current = At({"Мгновенные значения", "1-я  Подсистема", "Температура - канал 1"});
  ASSERT_NE(current, nullptr);
  EXPECT_EQ(TTestTreeBuilder::Names(current), (std::vector<std::string>{"Значение", "Статус"}));
  EXPECT_EQ(TTestTreeBuilder::Names(At({"Таймер"})).size(), 6u);
}

TEST_F(TarvelMLine, TreeWithSubsystemsAtTheTopInParameterMode) {
  Build(1, 1);
  EXPECT_EQ(TTestTreeBuilder::Names(device),
            (std::vector<std::string>{"Оперативные данные", "Таймер", "1-я  Подсистема", "2-я  Подсистема"}));
  EXPECT_EQ(TTestTreeBuilder::Names(At({"2-я  Подсистема"})),
            (std::vector<std::string>{"Мгновенные значения", "Почасовой архив", "Посуточный архив"}));
  TNTreeData* hours = At({"1-я  Подсистема", "Почасовой архив"});
  ASSERT_NE(hours, nullptr);
  ASSERT_EQ(hours->Children.size(), 4u);
  EXPECT_EQ(hours->Children[0]->Kind, nkParameter);  // parameter mode: each read by itself
  // Error-archive parameters get the value, hours and error-code leaves.
  TNTreeData* errors = At({"1-я  Подсистема", "Почасовой аварийный архив", "Масса - канал 1"});
  ASSERT_NE(errors, nullptr);
  EXPECT_EQ(TTestTreeBuilder::Names(errors),
            (std::vector<std::string>{"Значение", "Наработка", "Код ошибки"}));
}

TEST_F(TarvelMLine, CurrentValuesOfABranchInBothLayouts) {
  TTarvelM& model = Build(0, 0);
  for (uint8_t subsystem : {sim::tarvelm::kOperative, sim::tarvelm::kSubsystem1, sim::tarvelm::kSubsystem2}) {
    TNTreeData* branch = nullptr;
    for (TNTreeData* child : At({"Мгновенные значения"})->Children)
      if (child->Address == subsystem) branch = child;
    ASSERT_NE(branch, nullptr);
    const sim::TMBranchDef* def = sim::FindTarvelMBranch(subsystem, sim::tarvelm::kCurrent);
    std::string key = sim::TarvelMValueKey(kSerial, subsystem);
    TPrbArray result;
    TDateTime before = clock.Now();
    ASSERT_TRUE(model.ReadCurrent(result, branch, 1));
    TDateTime after = clock.Now();
    ASSERT_EQ(result.Items.size(), def->parameters.size());
    for (size_t i = 0; i < def->parameters.size(); ++i) {
      uint8_t p = def->parameters[i];
      ASSERT_EQ(result.Items[i].Items.size(), 2u) << int(subsystem) << "/" << i;
      float value = static_cast<float>(result.Items[i].SingleValue()->Value.d);
      EXPECT_TRUE(value == sim::CurrentValue(key, p, before) || value == sim::CurrentValue(key, p, after))
          << int(subsystem) << "/" << int(p) << ": " << value;
      EXPECT_EQ(result.Items[i].Items[1].Value, TVariant::Int(RemapStatusM(sim::CurrentStatus(key, p))));
    }
  }
}

TEST_F(TarvelMLine, CurrentReadFillsOnlyTheChildrenTheTaskNames) {
  TTarvelM& model = Build(1, 0);
  TNTreeData* branch = At({"1-я  Подсистема", "Мгновенные значения"});
  ASSERT_NE(branch, nullptr);
  TDescThread group;
  group.Shape = kWorkGroup;
  group.Node = branch;
  for (size_t i : {0u, 2u}) {
    group.SubItems.push_back(std::make_unique<TDescThread>());
    // A leaf below the parameter names the parameter too.
    group.SubItems.back()->Node = i == 0 ? branch->Children[i] : branch->Children[i]->Children[0];
  }
  model.SetWorkItem(&group);
  TPrbArray result;
  ASSERT_TRUE(model.ReadCurrent(result, branch, 1));
  ASSERT_EQ(result.Items.size(), branch->Children.size());
  EXPECT_EQ(result.Items[0].Count, 1);
  EXPECT_EQ(result.Items[1].Count, 0);
  EXPECT_TRUE(result.Items[1].Items.empty());
  EXPECT_EQ(result.Items[2].Count, 1);
}

// Hourly records of subsystem 1, checked against the value functions: every record but the hour still
// running, in time order.
void ExpectHourlyRecords(const TPrbArray& column, uint8_t p, TDateTime now, size_t expected) {
  std::string key = sim::TarvelMValueKey(kSerial, sim::tarvelm::kSubsystem1);
  std::vector<const TPrbArray*> stamped;
  for (const TPrbArray& item : column.Items) {
    if (item.TimeQuality != kQualityGood) continue;
    stamped.push_back(&item);
    EXPECT_EQ(item.ValueQuality, kQualityGood);
  }
  ASSERT_EQ(stamped.size(), expected) << int(p);
  int64_t last = HourIndex(now) - 1;  // the running hour is held back
  for (size_t i = 0; i < stamped.size(); ++i) {
    int64_t index = last - static_cast<int64_t>(stamped.size() - 1 - i);
    EXPECT_NEAR(stamped[i]->TimeStamp, sim::PeriodStart(sim::EPeriod::Hour, index), 1e-6);
    EXPECT_EQ(static_cast<float>(stamped[i]->Value.d),
              sim::ArchiveValue(key, p, sim::EPeriod::Hour, index, false))
        << int(p) << " record " << i;
  }
}

TEST_F(TarvelMLine, ArchiveByRecordsHoldsBackTheRecordInProgress) {
  TTarvelM& model = Build(0, 0);
  TNTreeData* branch = At({"Почасовой архив", "1-я  Подсистема"});
  ASSERT_NE(branch, nullptr);
  TPrbArray result;
  ASSERT_TRUE(model.ReadArchive(result, branch, clock.Now() - 1));
  EXPECT_EQ(ArchiveRequests(), 1u);  // one exchange for the whole branch
  const sim::TMBranchDef* def = sim::FindTarvelMBranch(sim::tarvelm::kSubsystem1, 26);
  ASSERT_EQ(result.Items.size(), def->parameters.size());
  for (size_t i = 0; i < def->parameters.size(); ++i) {
    ExpectHourlyRecords(result.Items[i], def->parameters[i], clock.Now(), def->ringSize - 1u);
    // The running hour came, but without a time.
    EXPECT_EQ(result.Items[i].Items.size(), def->ringSize);
    EXPECT_EQ(result.Items[i].Items.front().TimeStamp, 0);
  }

  // Daily: today's record is in progress too.
  TPrbArray days;
  ASSERT_TRUE(model.ReadArchive(days, At({"Посуточный архив", "1-я  Подсистема"}), clock.Now() - 40));
  for (const TPrbArray& item : days.Items[0].Items) {
    if (item.TimeQuality == kQualityGood) {
      EXPECT_LT(item.TimeStamp, std::floor(clock.Now()));
    }
  }
}

TEST_F(TarvelMLine, ArchiveByParametersAsksInTheMetersOrderOfIds) {
  // With archives at the top the parameter's path holds the archive above the subsystem; the meter wants
  // the subsystem first and refuses the other order.
  TTarvelM& model = Build(0, 1);
  TNTreeData* parameter = At({"Почасовой архив", "1-я  Подсистема", "Масса - канал 1"});
  ASSERT_NE(parameter, nullptr);
  EXPECT_EQ(parameter->Kind, nkParameter);
  TPrbArray result;
  ASSERT_TRUE(model.ReadArchive(result, parameter, clock.Now() - 3));
  EXPECT_EQ(ArchiveRequests(), 2u);  // dates, then the values
  ExpectHourlyRecords(result, 0x01, clock.Now(), 71);
}

TEST_F(TarvelMLine, ABadDateIsAskedAgainAndGoneAfterTheRepeat) {
  TTarvelM& model = Build(0, 0);
  TNTreeData* branch = At({"Почасовой архив", "1-я  Подсистема"});
  TakeExchanges();
  MeterFaults().Update([](sim::TFaults& f) { f.badArchiveDate = 1; });
  TPrbArray result;
  ASSERT_TRUE(model.ReadArchive(result, branch, clock.Now() - 3));
  EXPECT_EQ(ArchiveRequests(), 2u);
  ExpectHourlyRecords(result.Items[0], 0x00, clock.Now(), 71);
}

TEST_F(TarvelMLine, ABadDateThatStaysIsNeverAGoodValue) {
  struct Case {
    bool repeat;
    int faultCount;
    size_t requests;
  };
  for (Case c : {Case{false, 1, 1}, Case{true, -1, 3}}) {
    TTarvelM& model = Build(1, 0, c.repeat);
    TNTreeData* branch = At({"1-я  Подсистема", "Почасовой архив"});
    TakeExchanges();
    MeterFaults().Update([&](sim::TFaults& f) { f.badArchiveDate = c.faultCount; });
    TPrbArray result;
    ASSERT_TRUE(model.ReadArchive(result, branch, clock.Now() - 3));
    EXPECT_EQ(ArchiveRequests(), c.requests) << c.repeat;
    size_t bad = 0;
    for (const TPrbArray& item : result.Items[0].Items) {
      if (item.ValueQuality != kQualityGood) {
        ++bad;
        EXPECT_EQ(item.TimeStamp, 0);
        EXPECT_EQ(item.TimeQuality, 0);
      }
    }
    EXPECT_EQ(bad, 1u) << c.repeat;
    // The good records are still all there, each at its own time.
    ExpectHourlyRecords(result.Items[0], 0x00, clock.Now(), 70);
    MeterFaults().Update([](sim::TFaults& f) { f.badArchiveDate = 0; });
  }
}

TEST_F(TarvelMLine, APartlyWrittenArchiveServesNoFiller) {
  line.Faults().Update([](sim::TFaults& f) { f.ringFill = 5; });
  for (int mode : {0, 1}) {
    TTarvelM& model = Build(1, mode);
    TNTreeData* branch = At({"1-я  Подсистема", "Почасовой архив"});
    TPrbArray result;
    if (mode == 0) {
      ASSERT_TRUE(model.ReadArchive(result, branch, clock.Now() - 3));
      ExpectHourlyRecords(result.Items[0], 0x00, clock.Now(), 4);
      EXPECT_EQ(result.Items[0].Items.size(), 5u);  // the running hour without a time
    } else {
      ASSERT_TRUE(model.ReadArchive(result, branch->Children[0], clock.Now() - 3));
      ExpectHourlyRecords(result, 0x00, clock.Now(), 4);
      EXPECT_EQ(result.Items.size(), 5u);
    }
  }
}

TEST_F(TarvelMLine, ErrorArchivesInBothModes) {
  std::string key = sim::TarvelMValueKey(kSerial, sim::tarvelm::kSubsystem1);
  auto expectColumns = [&](const TPrbArray& columns, uint8_t p) {
    ASSERT_EQ(columns.Count, 3);
    ASSERT_EQ(columns.Items.size(), 3u);
    size_t checked = 0;
    for (size_t i = 0; i < columns.Items[0].Items.size(); ++i) {
      const TPrbArray& value = columns.Items[0].Items[i];
      if (value.TimeQuality != kQualityGood) continue;
      int64_t index = HourIndex(value.TimeStamp + 1e-6);
      sim::TErrorRecord e = sim::ErrorRecord(key, p, sim::EPeriod::Hour, index);
      EXPECT_EQ(value.Value, TVariant::Single(float(e.minutes)));
      EXPECT_FLOAT_EQ(float(columns.Items[1].Items[i].Value.d), float(e.minutes / 60.0));
      EXPECT_EQ(columns.Items[2].Items[i].Value, TVariant::Int(RemapStatusM(e.flags)));
      ++checked;
    }
    EXPECT_EQ(checked, 47u);  // 48 records, the running hour without a time
  };
  TTarvelM& byParameter = Build(1, 1);
  TNTreeData* parameter = At({"1-я  Подсистема", "Почасовой аварийный архив", "Масса - канал 1"});
  ASSERT_NE(parameter, nullptr);
  TPrbArray columns;
  ASSERT_TRUE(byParameter.ReadArchive(columns, parameter, clock.Now() - 3));
  expectColumns(columns, 0x01);

  TTarvelM& byRecord = Build(1, 0);
  TPrbArray records;
  ASSERT_TRUE(
      byRecord.ReadArchive(records, At({"1-я  Подсистема", "Почасовой аварийный архив"}), clock.Now() - 3));
  ASSERT_EQ(records.Items.size(), 2u);
  expectColumns(records.Items[0], 0x00);
  expectColumns(records.Items[1], 0x01);
}

class TarvelMTunnel : public TarvelMLine {
 protected:
  TarvelMTunnel() : TarvelMLine("tarvelm_mb", TProtKind::ModBus) {}
};

TEST_F(TarvelMTunnel, TreeCurrentValuesAndArchiveThroughTheConverter) {
  TTarvelM& model = Build(1, 0);
  EXPECT_EQ(device->Name, "ТАРВЕЛ М  (M0000007)");
  TNTreeData* current = At({"2-я  Подсистема", "Мгновенные значения"});
  ASSERT_NE(current, nullptr);
  TPrbArray values;
  ASSERT_TRUE(model.ReadCurrent(values, current, 1));
  ASSERT_EQ(values.Items.size(), 3u);
  std::string key = sim::TarvelMValueKey(kSerial, sim::tarvelm::kSubsystem2);
  float value = static_cast<float>(values.Items[1].SingleValue()->Value.d);
  EXPECT_NEAR(value, sim::CurrentValue(key, 0x11, clock.Now()), 0.01 + std::fabs(value) * 1e-3);

  TPrbArray archive;
  ASSERT_TRUE(model.ReadArchive(archive, At({"1-я  Подсистема", "Почасовой архив"}), clock.Now() - 3));
  ExpectHourlyRecords(archive.Items[2], 0x03, clock.Now(), 71);

  std::string serial;
  EXPECT_TRUE(model.ReadSerialNumber(7, serial));
  EXPECT_EQ(serial, kSerial);
  TDateTime time = 0;
  EXPECT_TRUE(model.ReadDeviceClock(7, time));
  EXPECT_NEAR(time, clock.Now(), 2.0 / 1440);
}

}  // namespace
}  // namespace orvela
