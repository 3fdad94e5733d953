// The configuration controller against simulated meters on a TCP line: auto-configuration, reading and
// refreshing one device's configuration, and what is released when a read fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>

#include "drivers/Families.h"
#include "engine/EngineTestSupport.h"
#include "engine/ReqThread.h"
#include "engine/TreeTarvelController.h"
#include "links/records/LinkAddress.h"
#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "platform/Clock.h"
#include "platform/JournalSink.h"
#include "tree/TreeController.h"
#include "tree/UiBridge.h"

namespace orvela {
namespace {

constexpr const char* k2001Serial = "12345678";
constexpr const char* kFSerial = "87654321";
constexpr const char* k2001Name = "ТАРВЕЛ мод.2001  (12345678)";
constexpr const char* kFName = "ТАРВЕЛ  (87654321)";

// Journal lines as the journal module would get them.
class TJournalRecorder final : public IJournalSink {
 public:
  TJournalRecorder() { SetJournalSink(this); }
  ~TJournalRecorder() override { SetJournalSink(nullptr); }
  void Journal(const std::string& message, const std::string& second) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(message + " | " + second);
  }
  bool Has(const std::string& line) const {
    std::lock_guard lock(mutex_);
    return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
  }
  bool HasFragment(const std::string& fragment) const {
    std::lock_guard lock(mutex_);
    return std::any_of(lines_.begin(), lines_.end(),
                       [&](const std::string& l) { return l.find(fragment) != std::string::npos; });
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

class TOneLineCatalog final : public IConnectionCatalog {
 public:
  explicit TOneLineCatalog(const TConnSettings& settings) : settings_(settings) {}
  TConnSettings* FindSettings(const TConnKey& key) override {
    return key.ConnName == settings_.Key.ConnName ? &settings_ : nullptr;
  }
  IChannelLog* FindOrder(const TConnKey&) override { return nullptr; }

 private:
  TConnSettings settings_;
};

TConnKey LineKey(uint16_t port) {
  TConnKey key;
  key.ConnName = "Котельная";
  key.ConnType = static_cast<uint8_t>(TConnKind::TcpClient);
  key.ProtType = static_cast<uint8_t>(TProtKind::XModem);
  key.IP_Addr = "127.0.0.1";
  key.IP_Port = port;
  key.LinkAddress = BuildLinkAddress(key);
  return key;
}

TConnSettings LineSettings(const TConnKey& key) {
  TConnSettings settings = TConnSettings::Defaults();
  settings.EchoTested = 1;  // the line does not echo
  settings.Key = key;
  return settings;
}

TNTreeData* Child(const TNTreeData* node, const std::string& name) {
  if (node == nullptr) return nullptr;
  for (TNTreeData* c : node->Children)
    if (c->Name == name) return c;
  return nullptr;
}

std::vector<std::string> Names(const TNTreeData* node) {
  std::vector<std::string> names;
  for (const TNTreeData* c : node->Children) names.push_back(c->Name);
  return names;
}

class TreeTarvelController : public ::testing::Test {
 protected:
  TreeTarvelController() : clock(40) {
    SetSystemClock(&clock);  // the factory's links wait on the process clock
    line = std::make_unique<sim::TLine>(sim::TLineOptions{.clock = &clock});
    line->AddDevice(sim::MakeDevice("tarvel2001", 1, k2001Serial));
    line->AddDevice(sim::MakeDevice("tarvelf", 2, kFSerial));
    line->ListenTcp();
    key = LineKey(line->Port());
    catalog = std::make_unique<TOneLineCatalog>(LineSettings(key));
    controller = std::make_unique<TTreeTarvelController>(trees, *catalog, TModelEnvironment{});
  }
  ~TreeTarvelController() override {
    controller.reset();
    line.reset();
    SetSystemClock(nullptr);
  }

  // A device as the new-device dialog makes it, under a temporary root.
  TNTreeData* NewDevice(uint8_t code, uint8_t address) {
    TNTreeData* device = tree.CreateNode();
    device->Name = FamilyTreeName(code, false);
    device->ModelCode = code;
    device->ConnKey = key;
    device->Address = address;
    device->Kind = nkDevice;
    device->DAVisible = device->HDAVisible = true;
    tree.AttachChild(tree.CreateNode(), device);
    return device;
  }
  void Fault(uint8_t address, const std::function<void(sim::TFaults&)>& change) {
    line->FindDevice(address)->Faults().Update(change);
  }

  ScaledClock clock;
  std::unique_ptr<sim::TLine> line;
  TConnKey key;
  std::unique_ptr<TOneLineCatalog> catalog;
  TJournalRecorder journal;
  TTree tree;
  THeadlessUi ui;
  TTreeController trees{tree, ui};
  std::unique_ptr<TTreeTarvelController> controller;
};

TEST_F(TreeTarvelController, AutoConfigurationBuildsBothMetersTrees) {
  ASSERT_EQ(controller->AutoConfigure({key}), 2u);
  EXPECT_TRUE(journal.Has("Начат опрос устройств | "));
  EXPECT_TRUE(journal.Has("Найдено 2 устройств  | Опрос"));
  ASSERT_EQ(Names(tree.Root()), (std::vector<std::string>{k2001Name, kFName}));
  EXPECT_EQ(ui.Status(), "");  // cleared after the connection

  const TNTreeData* meter2001 = Child(tree.Root(), k2001Name);
  EXPECT_EQ(meter2001->Serial, k2001Serial);
  EXPECT_EQ(meter2001->Kind, nkDevice);
  EXPECT_EQ(meter2001->ConnKey.ConnName, "Котельная");  // the polls find their connection by this name
  EXPECT_EQ(Names(meter2001), (std::vector<std::string>{"Пользовательские данные", "Таймер"}));
  const TNTreeData* fMeter = Child(tree.Root(), kFName);
  EXPECT_EQ(Names(fMeter),
            (std::vector<std::string>{"Пользовательские данные", "Таймер", "Аварийные архивы"}));
  EXPECT_EQ(Names(Child(fMeter, "Аварийные архивы")),
            (std::vector<std::string>{"Почасовой аварийный архив", "Посуточный аварийный архив"}));

  // A current-data parameter: value and status leaves, the value in the parameter's units.
  const TNTreeData* heat = Child(Child(Child(meter2001, "Пользовательские данные"), "Текущие данные"),
                                 "Количество теплоты - канал 1");
  ASSERT_NE(heat, nullptr);
  EXPECT_EQ(heat->Kind, nkParameter);
  EXPECT_EQ(heat->Path, std::string("Устройства.") + k2001Name + ".Пользовательские данные.Текущие данные." +
                            "Количество теплоты - канал 1");
  ASSERT_EQ(Names(heat), (std::vector<std::string>{"Значение", "Статус"}));
  const TNTreeData* value = heat->Children[0];
  EXPECT_EQ(value->Kind, nkGroupedParameter);
  EXPECT_EQ(value->Address, 1);
  EXPECT_EQ(Attribute(*value, asDataType).Value.AsDouble(), 4);
  EXPECT_EQ(Attribute(*value, asDescription).Text, "Значение");
  EXPECT_EQ(Attribute(*value, asUnits).Text, "Гкал");
  EXPECT_EQ(Attribute(*heat->Children[1], asDataType).Value.AsDouble(), 3);
  EXPECT_EQ(value->Serial, k2001Serial);

  // An error-archive parameter: the archive leaves without a value.
  const TNTreeData* errors = Child(Child(fMeter, "Аварийные архивы"), "Почасовой аварийный архив");
  ASSERT_FALSE(errors->Children.empty());
  const TNTreeData* errorParam = errors->Children[0];
  EXPECT_FALSE(errorParam->DAVisible);
  EXPECT_TRUE(errorParam->HDAVisible);
  ASSERT_EQ(Names(errorParam), (std::vector<std::string>{"Наработка", "Код ошибки"}));
  EXPECT_EQ(Attribute(*errorParam->Children[0], asUnits).Text, "час");
  EXPECT_EQ(Attribute(*errorParam->Children[1], asUnits).Text, "нет");
  EXPECT_EQ(errorParam->Children[1]->Address, 3);

  // Archive parameters are read themselves: no leaves. The F meter's take their archive's step.
  const TNTreeData* hours = Child(Child(meter2001, "Пользовательские данные"), "Почасовой архив");
  ASSERT_FALSE(hours->Children.empty());
  EXPECT_TRUE(hours->Children[0]->Children.empty());
  const TNTreeData* fDays = Child(Child(fMeter, "Пользовательские данные"), "Посуточный архив");
  ASSERT_FALSE(fDays->Children.empty());
  EXPECT_EQ(fDays->Children[0]->ArchiveStep, 86'400'000);

  EXPECT_EQ(tree.Root()->Handle, kHandleGeneration);
  EXPECT_EQ(tree.ResolveIdentifier(heat->Path), heat);

  // Meters already configured (by serial) are not added again.
  EXPECT_EQ(controller->AutoConfigure({key}), 0u);
  EXPECT_EQ(tree.Root()->Children.size(), 2u);
}

TEST_F(TreeTarvelController, SilentMeterIsSkippedAndTheScanGoesOn) {
  Fault(1, [](sim::TFaults& f) { f.silent = true; });
  ASSERT_EQ(controller->AutoConfigure({key}), 1u);
  EXPECT_EQ(Names(tree.Root()), (std::vector<std::string>{kFName}));
  EXPECT_TRUE(journal.Has("Устройство 1 не ответило | Котельная"));
}

TEST_F(TreeTarvelController, ReadingOneDeviceNamesItBySerialAndAsksAboutAnother) {
  TNTreeData* device = NewDevice(mcTarvel2001, 1);
  ASSERT_EQ(controller->ReadDeviceConfiguration(device), kReadDone);
  EXPECT_EQ(device->Name, k2001Name);
  EXPECT_EQ(device->Serial, k2001Serial);
  EXPECT_EQ(Names(device), (std::vector<std::string>{"Пользовательские данные", "Таймер"}));
  EXPECT_TRUE(journal.Has("Опрашивается устройство ТАРВЕЛ мод.2001   | Котельная"));
  TNTreeData* parent = device->Parent;
  EXPECT_EQ(trees.MergeDevices(parent, false), 1u);
  EXPECT_EQ(ui.Status(), "Приборов: 1");

  // The same meter read again: the operator is asked whether the configured one goes.
  TNTreeData* again = NewDevice(mcTarvel2001, 1);
  ui.SetAnswer(false);
  EXPECT_EQ(controller->ReadDeviceConfiguration(again), kReadFailed);
  EXPECT_EQ(ui.Shown().back(), "Прибор с таким именем уже существует (12345678) ! Удалить его? Нет");
  EXPECT_EQ(tree.Root()->Children.size(), 1u);
  ui.SetAnswer(true);
  EXPECT_EQ(controller->ReadDeviceConfiguration(again), kReadDone);
  EXPECT_TRUE(tree.Root()->Children.empty());  // the old one was removed
}

TEST_F(TreeTarvelController, FailedReadsAreToldAndGiveNoSubtree) {
  struct Case {
    const char* what;
    uint8_t code;
    uint8_t address;
    std::function<void(sim::TFaults&)> fault;
    const char* message;
  };
  const Case cases[] = {
      {"serial not readable", mcTarvel2001, 1, [](sim::TFaults& f) { f.serial = std::string("\x01", 1); },
       "Не удалось получить серийный номер прибора"},
      {"another family", mcTarvelF, 1, [](sim::TFaults&) {},
       "Ошибка! Обнаружен прибор другого типа (ТАРВЕЛ мод.2001  )."},
      {"family without a driver", mcCE6822, 1, [](sim::TFaults&) {},
       "Чтение конфигурации прибора Ce6822  не поддерживается"},
      // The Orlix on XModem tells nothing: no tree.
      {"Orlix on XModem", mcOrlix, 1, [](sim::TFaults&) {}, "Не удалось прочитать дерево прибора"},
      {"silent meter", mcTarvel2001, 1, [](sim::TFaults& f) { f.silent = true; },
       "Не удалось получить данные прибора"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fault(c.address, c.fault);
    TNTreeData* device = NewDevice(c.code, c.address);
    EXPECT_EQ(controller->ReadDeviceConfiguration(device), kReadFailed);
    EXPECT_EQ(controller->LastOutcome(), kReadFailed);
    EXPECT_TRUE(device->Children.empty());
    EXPECT_EQ(ui.Shown().back(), c.message);
    Fault(c.address, [](sim::TFaults& f) { f = {}; });
  }

  // Nobody listens: the connection fails.
  line.reset();
  TNTreeData* device = NewDevice(mcTarvel2001, 1);
  EXPECT_EQ(controller->ReadDeviceConfiguration(device), kReadFailed);
  EXPECT_EQ(ui.Shown().back(), "Не удалось соединиться с прибором");
}

TEST_F(TreeTarvelController, FailedRefreshKeepsTheDeviceAsItWas) {
  ASSERT_EQ(controller->AutoConfigure({key}), 2u);
  TNTreeData* device = Child(tree.Root(), k2001Name);
  std::vector<TNTreeData*> children = device->Children;
  size_t nodes = tree.NodeCount();
  int32_t handle = device->Children[0]->Handle;

  Fault(1, [](sim::TFaults& f) { f.silent = true; });
  EXPECT_EQ(controller->RefreshDevice(device), kReadFailed);
  EXPECT_EQ(device->Children, children);
  EXPECT_EQ(device->Name, k2001Name);
  EXPECT_EQ(tree.NodeCount(), nodes);
  EXPECT_EQ(device->Children[0]->Handle, handle);

  // A refresh that succeeds puts the newly read subtree in; the device keeps its place.
  Fault(1, [](sim::TFaults& f) { f = {}; });
  EXPECT_EQ(controller->RefreshDevice(device), kReadDone);
  EXPECT_EQ(tree.Root()->Children[0], device);
  EXPECT_NE(device->Children, children);
  EXPECT_EQ(Names(device), (std::vector<std::string>{"Пользовательские данные", "Таймер"}));
  EXPECT_EQ(tree.NodeCount(), nodes);
  EXPECT_EQ(device->Children[0]->Parent, device);
  EXPECT_EQ(tree.ResolveIdentifier(device->Children[0]->Path), device->Children[0]);
}

TEST_F(TreeTarvelController, ReadReleasesTheEngineAndTheOrderOnEveryPath) {
  test::TRecordingLogs logs;
  test::TFakeReaders readers;
  IEngineHost host;
  TAsyncEngine engine(tree, readers, logs, clock, host);
  engine.SetQueueThreadEnabled(false);
  TSettings settings = TSettings::Defaults();
  settings.ChannelLog = false;
  engine.SetSettings(settings);
  TTreeTarvelController withEngine(trees, *catalog, TModelEnvironment{}, &engine);

  // A configured device on the connection, so that the engine runs an order for it.
  TNTreeData* configured = NewDevice(mcTarvelF, 2);
  ASSERT_EQ(withEngine.ReadDeviceConfiguration(configured), kReadDone);
  trees.MergeDevices(configured->Parent, false);
  EXPECT_EQ(engine.Users(), 0);
  EXPECT_FALSE(engine.Running());

  engine.InitAsync();  // an OPC client holds the engine meanwhile
  ASSERT_EQ(engine.ConnectionCount(), 1u);
  std::vector<bool> busyDuring;
  // From the connection on (the stages after the first), the order is busy.
  withEngine.SetProgress([&](const std::string&, int percent) {
    if (percent > 10) busyDuring.push_back(engine.Order(0).Busy);
  });
  for (uint8_t code : {mcTarvelF, mcTarvel2001}) {  // a family mismatch, then a success
    TNTreeData* device = NewDevice(code, 1);
    withEngine.ReadDeviceConfiguration(device);
    EXPECT_EQ(engine.Users(), 1);
    EXPECT_FALSE(engine.Order(0).Busy);
  }
  ASSERT_FALSE(busyDuring.empty());
  EXPECT_TRUE(std::all_of(busyDuring.begin(), busyDuring.end(), [](bool b) { return b; }));
  engine.FinalAsync();
  EXPECT_FALSE(engine.Running());
}

TEST_F(TreeTarvelController, ReadingThreadReportsEachDevice) {
  std::vector<TNTreeData*> devices{NewDevice(mcTarvel2001, 1), NewDevice(mcTarvelF, 1)};
  TReqThread thread(*controller, clock, devices);
  thread.Start();
  thread.Wait();
  EXPECT_EQ(thread.Outcomes(), (std::vector<int>{kReadDone, kReadFailed}));
  EXPECT_EQ(thread.Status(), "Статус: Опрос закончился неудачей");

  TReqThread scan(*controller, clock, std::vector<TConnKey>{key});
  scan.Start();
  scan.Wait();
  EXPECT_EQ(scan.Added(), 2u);
  EXPECT_EQ(scan.Status(), "Статус: конфигурирование завершено");
}

// A meter that lists what the test gives, without a line.
class TListingModel final : public TDataModel {
 public:
  explicit TListingModel(std::function<TRListData(const TIdPath&)> list)
      : TDataModel(TTarvelFactory::CreateFraming(0, nullptr), nullptr, nullptr), list_(std::move(list)) {}
  bool ReadBranchList(int, std::span<const uint8_t> path, TRListData& list) override {
    // The request path: k, 3, address, ids from the top down.
    std::vector<uint8_t> ids(path.begin() + 2, path.end());
    std::reverse(ids.begin(), ids.end());
    list = list_(TIdPath(ids));
    return true;
  }
  bool IsKnownPath(const TIdPath&) override { return true; }
  void DescribeNode(const TIdPath& path, TNTreeData& node, std::string& name, int& kind) override {
    name = "Узел " + std::to_string(path.Id(0));
    node.DAVisible = true;
    node.HDAVisible = false;
    kind = path.Depth() == 2 ? 2 : 0;
  }

 private:
  std::function<TRListData(const TIdPath&)> list_;
};

TRListData ListOf(std::vector<uint8_t> ids, uint8_t flags) {
  TRListData list;
  list.Count = static_cast<int32_t>(ids.size());
  list.Flags.assign(ids.size(), flags);
  list.Ids = std::move(ids);
  return list;
}

TEST_F(TreeTarvelController, WalkNamesRepeatedAddressesAsCopiesAndStopsAtItsDepth) {
  TListingModel repeated([](const TIdPath& path) {
    if (path.Depth() == 0) return ListOf({1, 1, 1}, 0);
    if (path.Depth() == 1) return ListOf({9}, 0);
    if (path.Depth() == 2) return ListOf({}, 0);
    return ListOf({}, 1);
  });
  TNTreeData* device = NewDevice(mcTarvel2001, 5);
  ASSERT_EQ(controller->DiscoverTree(repeated, device), kReadDone);
  EXPECT_EQ(Names(device), (std::vector<std::string>{"Узел 1", "Узел 1 (копия 1)", "Узел 1 (копия 2)"}));
  const TNTreeData* param = device->Children[1]->Children[0];
  EXPECT_EQ(param->Name, "Узел 9");
  EXPECT_EQ(Names(param), (std::vector<std::string>{"Значение", "Статус"}));
  EXPECT_EQ(param->Level, 2);
  EXPECT_EQ(param->DriverValue, 7u);

  // A meter whose every node claims a child: the walk ends at its depth instead of the stack's.
  TListingModel endless([](const TIdPath&) { return ListOf({1}, 0); });
  TNTreeData* deep = NewDevice(mcTarvel2001, 6);
  ASSERT_EQ(controller->DiscoverTree(endless, deep), kReadDone);
  int depth = 0;
  for (const TNTreeData* n = deep; (n = Child(n, "Узел 1")) != nullptr;) ++depth;
  EXPECT_EQ(depth, kMaxDiscoveryDepth + 1);
  EXPECT_TRUE(journal.HasFragment("Дерево прибора глубже 16 уровней"));
}

}  // namespace
}  // namespace orvela
