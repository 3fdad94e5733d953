// The Orlix driver against metersim's Orlix meter over a real TCP link and the ModBus framing: the tree
// built from the meter's configuration, current values and archives read whole and in pieces, the timer
// values, and replies that must end in a failure with bad quality instead of a value.
#include <gtest/gtest.h>

#include <cmath>

#include "drivers/ModBusFaultCases.h"
#include "drivers/Orlix.h"
#include "drivers/SimLine.h"
#include "drivers/TreeBuilders.h"
#include "metersim/OrlixMeter.h"
#include "metersim/Values.h"

namespace orvela {
namespace {

constexpr const char* kSerial = "40420017";
constexpr uint8_t kAddress = 3;

class OrlixLine : public test::TSimLineTest {
 protected:
  OrlixLine()
      : TSimLineTest(
            test::TSimLineSetup{.meters = {{"orlix", kAddress, kSerial}}, .protocol = TProtKind::ModBus}) {
    root = tree.CreateRoot();
  }

  TKOrlix_MB& Model() {
    auto& model = dynamic_cast<TKOrlix_MB&>(DeviceModel(kAddress));
    model.SetEnvironment({.Settings = Settings(), .TreeBuilder = &builder});
    return model;
  }

  // The device node, its tree built by the driver.
  TNTreeData* Build() {
    device = tree.CreateNode();
    device->Name = "Орликс  ";
    device->Kind = nkDevice;
    device->Address = kAddress;
    device->ModelCode = mcOrlix;
    device->ConnKey = key;
    tree.AttachChild(root, device);
    EXPECT_TRUE(Model().BuildTree(device));
    return device;
  }

  static TNTreeData* Child(TNTreeData* node, const std::string& name) {
    for (TNTreeData* c : node->Children)
      if (c->Name == name) return c;
    ADD_FAILURE() << "no node " << name << " below " << node->Name;
    return nullptr;
  }

  // A group work item for leaves below a branch, as the engine gathers one.
  std::unique_ptr<TDescThread> GroupOf(TNTreeData* branch, std::vector<TNTreeData*> leaves) {
    auto item = std::make_unique<TDescThread>();
    item->Node = branch;
    item->Shape = kWorkGroup;
    for (TNTreeData* leaf : leaves) {
      auto sub = std::make_unique<TDescThread>();
      sub->Node = leaf;
      item->SubItems.push_back(std::move(sub));
    }
    return item;
  }

  // Reads the current branch through a fresh model (one per task, as the reader thread does).
  bool ReadCurrent(TPrbArray& result) {
    TNTreeData* current = Child(device, "Мгновенные значения");
    auto item = GroupOf(current, {Child(Child(Child(current, "2-я  Подсистема"), "M2"), "Значение"),
                                  Child(Child(Child(current, "1-я  Подсистема"), "Q1"), "Значение")});
    TKOrlix_MB& model = Model();
    model.SetRequestedNode(current);
    model.SetWorkItem(item.get());
    return model.ReadCurrent(result, current, 1);
  }

  bool ReadArchive(TNTreeData* node, TDateTime from, TDateTime to, TPrbArray& result, TNTreeData* leaf) {
    auto item = GroupOf(node, {leaf});
    item->Start = item->WindowStart = from;
    item->End = to;
    TKOrlix_MB& model = Model();
    model.SetRequestedNode(node);
    model.SetWorkItem(item.get());
    model.SetTaskClass(kTaskArchive);
    return model.ReadArchive(result, node, from);
  }

  void ExpectCurrentValue(const TPrbArray& value, uint8_t param, TDateTime before, TDateTime after) {
    ASSERT_EQ(value.ValueQuality, kQualityGood);
    float v = static_cast<float>(value.Value.d);
    EXPECT_TRUE(v == sim::CurrentValue(kSerial, param, before) ||
                v == sim::CurrentValue(kSerial, param, after))
        << int(param) << ": " << v;
  }

  void ExpectCurrent(const TPrbArray& result, TDateTime before, TDateTime after) {
    ASSERT_EQ(result.Count, 2);
    for (const sim::orlixsim::TParam& p : sim::orlixsim::Params()) {
      const TPrbArray& param = result.Items[p.subsystem].Items[orlix::kFirstParameterId + p.position];
      ASSERT_EQ(param.Items.size(), 2u);
      ExpectCurrentValue(param.Items[0], p.param, before, after);
    }
    uint32_t word = sim::orlixsim::StatusWord(kSerial, 1);
    EXPECT_EQ(result.Items[1].Items[0].Value.i, word);
    EXPECT_EQ(result.Items[1].Items[orlix::kFirstParameterId + 7].Items[1].Value.i,
              orlix::ParameterStatus(word, 7, false));
    // A position the meter leaves unwritten is no value: bad quality, never a good 0.
    EXPECT_EQ(result.Items[1].Items[orlix::kFirstParameterId + 6].Items[0].ValueQuality, kQualityBad);
  }

  TTree tree;
  test::TTreeBuilderOver builder{tree};
  TNTreeData* root = nullptr;
  TNTreeData* device = nullptr;
};

TEST_F(OrlixLine, BuildsTheTreeFromTheMetersConfiguration) {
  Build();
  EXPECT_EQ(device->Serial, kSerial);
  EXPECT_EQ(device->Name, std::string("Орликс  (") + kSerial + ")");
  std::vector<std::string> branches;
  for (TNTreeData* c : device->Children) branches.push_back(c->Name);
  EXPECT_EQ(branches, (std::vector<std::string>{"Почасовой архив", "Посуточный архив", "Помесячный архив",
                                                "Мгновенные значения", "Таймер"}));
  TNTreeData* current = Child(device, "Мгновенные значения");
  ASSERT_EQ(current->Children.size(), 2u);  // only the subsystems with parameters
  std::vector<std::string> names;
  std::vector<int> ids;
  for (TNTreeData* c : Child(current, "2-я  Подсистема")->Children) {
    names.push_back(c->Name);
    ids.push_back(c->Address);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Причина ненаработки", "Q2", "Pлим", "M2"}));
  EXPECT_EQ(ids, (std::vector<int>{0, 2, 5, 9}));
  std::vector<std::string> first;
  for (TNTreeData* c : Child(Child(device, "Почасовой архив"), "1-я  Подсистема")->Children)
    first.push_back(c->Name);
  EXPECT_EQ(first,
            (std::vector<std::string>{"Причина ненаработки", "Наработка", "Q1", "Tпод", "Tобр", "G1"}));
}

TEST_F(OrlixLine, CurrentValuesWholeAndSplitMatchTheMeter) {
  Build();
  for (bool split : {false, true}) {
    SCOPED_TRACE(split ? "split" : "whole");
    Settings().SplitOrlixPackets = split;
    TakeExchanges();
    TPrbArray result;
    TDateTime before = clock.Now();
    ASSERT_TRUE(ReadCurrent(result));
    ExpectCurrent(result, before, clock.Now());
    int reads = 0;
    for (const sim::TExchangeRecord& r : TakeExchanges()) {
      if (r.function != 4) continue;
      ++reads;
      int count = (r.message[4] << 8) | r.message[5];
      EXPECT_LE(count, split ? 36 : 125);
    }
    EXPECT_EQ(reads, split ? 2 : 1);  // 40 registers: two pieces of at most 36
  }
}

TEST_F(OrlixLine, ArchivesWholeAndSplitMatchTheMetersRecords) {
  Build();
  TNTreeData* hourly = Child(device, "Почасовой архив");
  TNTreeData* m2 = Child(Child(Child(hourly, "2-я  Подсистема"), "M2"), "Значение");
  TDateTime now = clock.Now();
  TDateTime from = std::floor(now * 24 - 6) / 24 - 1e-6;
  int64_t newest = sim::PeriodIndex(sim::EPeriod::Hour, now) - 1;
  std::vector<TPrbArray> reads;
  for (bool split : {false, true}) {
    SCOPED_TRACE(split ? "split" : "whole");
    Settings().SplitOrlixPackets = split;
    TPrbArray result;
    ASSERT_TRUE(ReadArchive(hourly, from, now + 1, result, m2));
    ASSERT_EQ(result.Count, 2);
    const TPrbArray& values = result.Items[1].Items[orlix::kFirstParameterId + 7].Items[0];
    ASSERT_GE(values.Items.size(), 6u);
    for (const TPrbArray& v : values.Items) {
      int64_t index = sim::PeriodIndex(sim::EPeriod::Hour, v.TimeStamp + 1e-7);
      EXPECT_LE(index, newest);
      EXPECT_EQ(v.ValueQuality, kQualityGood);
      EXPECT_EQ(static_cast<float>(v.Value.d),
                sim::ArchiveValue(kSerial, 0x11, sim::EPeriod::Hour, index, false));
    }
    EXPECT_EQ(sim::PeriodIndex(sim::EPeriod::Hour, values.Items.back().TimeStamp + 1e-7), newest);
    reads.push_back(values);
  }
  ASSERT_EQ(reads[0].Items.size(), reads[1].Items.size());
  for (size_t i = 0; i < reads[0].Items.size(); ++i) {
    EXPECT_EQ(reads[0].Items[i].TimeStamp, reads[1].Items[i].TimeStamp);
    EXPECT_EQ(reads[0].Items[i].Value.d, reads[1].Items[i].Value.d);
  }
}

TEST_F(OrlixLine, SubsystemArchiveReadTakesItsOwnSubsystem) {
  Build();
  TNTreeData* daily = Child(device, "Посуточный архив");
  TNTreeData* second = Child(daily, "2-я  Подсистема");
  TPrbArray result;
  TDateTime now = clock.Now();
  ASSERT_TRUE(ReadArchive(second, now - 4, now + 1, result, Child(Child(second, "Q2"), "Значение")));
  const TPrbArray& q2 = result.Items[orlix::kFirstParameterId + 0].Items[0];
  ASSERT_FALSE(q2.Items.empty());
  for (const TPrbArray& v : q2.Items)
    EXPECT_EQ(static_cast<float>(v.Value.d),
              sim::ArchiveValue(kSerial, 0x10, sim::EPeriod::Day,
                                sim::PeriodIndex(sim::EPeriod::Day, v.TimeStamp), false));
  EXPECT_EQ(result.Items[0].Items[0].Value.i, sim::orlixsim::StatusWord(kSerial, 1));
}

TEST_F(OrlixLine, PartlyFilledArchiveStartsAtItsOldestRecord) {
  Build();
  TNTreeData* daily = Child(device, "Посуточный архив");
  TNTreeData* leaf = Child(Child(Child(daily, "1-я  Подсистема"), "Q1"), "Значение");
  TDateTime now = clock.Now();
  TPrbArray result;
  ASSERT_TRUE(ReadArchive(daily, now - 200, now + 1, result, leaf));
  const TPrbArray& q1 = result.Items[0].Items[orlix::kFirstParameterId].Items[0];
  int kept = sim::orlixsim::RecordsKept(sim::EPeriod::Day);
  ASSERT_EQ(static_cast<int>(q1.Items.size()), kept);
  EXPECT_EQ(sim::PeriodIndex(sim::EPeriod::Day, q1.Items.front().TimeStamp),
            sim::PeriodIndex(sim::EPeriod::Day, now) - kept);
}

TEST_F(OrlixLine, RecordWithAnUndecodableDateIsSkippedAndTheSearchGoesOn) {
  Build();
  line.FindDevice(kAddress, "modbus")->Faults().Update([](sim::TFaults& f) { f.badDates = true; });
  TNTreeData* daily = Child(device, "Посуточный архив");
  TNTreeData* leaf = Child(Child(Child(daily, "1-я  Подсистема"), "Q1"), "Значение");
  TDateTime now = clock.Now();
  TPrbArray result;
  ASSERT_TRUE(ReadArchive(daily, now - 12, now + 1, result, leaf));
  const TPrbArray& q1 = result.Items[0].Items[orlix::kFirstParameterId].Items[0];
  std::vector<int64_t> expected;
  int64_t newest = sim::PeriodIndex(sim::EPeriod::Day, now) - 1;
  for (int64_t index = sim::PeriodIndex(sim::EPeriod::Day, now - 12); index <= newest; ++index)
    if (index % 3 != 0 && sim::PeriodStart(sim::EPeriod::Day, index) >= now - 12) expected.push_back(index);
  std::vector<int64_t> got;
  for (const TPrbArray& v : q1.Items) got.push_back(sim::PeriodIndex(sim::EPeriod::Day, v.TimeStamp));
  EXPECT_EQ(got, expected);
}

TEST_F(OrlixLine, TimerValuesComeFromTheMeter) {
  Build();
  TNTreeData* timer = Child(device, "Таймер");
  struct TCase {
    const char* name;
    TDateTime expected;
  } cases[] = {{"Версия ПО прибора", std::floor(sim::FirmwareDate())},
               {"Дата и время изменения конфигурации прибора", std::floor(sim::ConfigChangeDate(kSerial))},
               {"Астрономическое дата и время", clock.Now()}};
  for (const TCase& c : cases) {
    TKOrlix_MB& model = Model();
    TNTreeData* node = Child(timer, c.name);
    model.SetRequestedNode(node);
    TPrbArray result;
    ASSERT_TRUE(model.ReadCurrent(result, node, 1)) << c.name;
    ASSERT_NE(result.SingleValue(), nullptr);
    EXPECT_NEAR(result.SingleValue()->Value.d, c.expected, 10.0 / 86400) << c.name;
  }
}

// Each unhappy reply ends the read with a failure and bad quality; the line serves the next read.
TEST_F(OrlixLine, UnhappyRepliesFailWithBadQualityAndTheLineRecovers) {
  Build();
  sim::TSimDevice* meter = line.FindDevice(kAddress, "modbus");
  for (const test::TModBusFaultCase& c : test::ModBusUnhappyReplies()) {
    SCOPED_TRACE(c.fault);
    meter->Faults().Update([&](sim::TFaults& f) {
      f = {};
      c.set(f);
    });
    TPrbArray failed;
    EXPECT_FALSE(ReadCurrent(failed));
    EXPECT_EQ(failed.ValueQuality, kQualityDeviceFailure);
    EXPECT_TRUE(failed.Items.empty());
    meter->Faults().Set({});
    TPrbArray result;
    TDateTime before = clock.Now();
    ASSERT_TRUE(ReadCurrent(result));
    ExpectCurrent(result, before, clock.Now());
  }
}

}  // namespace
}  // namespace orvela
