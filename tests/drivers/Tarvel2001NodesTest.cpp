// Which id paths the Tarvel 2001 driver knows, how it names and shows them, and how a tree node is turned
// into the ids a read is dispatched with.
#include <gtest/gtest.h>

#include "drivers/Tarvel2001.h"
#include "drivers/Tarvel2001Nodes.h"
#include "platform/Cp1251.h"
#include "protocols/XModemProtocol.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

constexpr uint8_t kAddr = 7;
constexpr int32_t kHour = 3'600'000, kDay = 86'400'000;

struct TNodeCase {
  TIdPath path;
  bool english;
  std::string name;  // empty: no such node
  bool da = false;
  bool hda = false;
  int32_t step = 0;
  int kind = 0;
  int dataType = 0;  // 0: no data type attribute
};

TEST(Tarvel2001Nodes, IdTable) {
  const TNodeCase cases[] = {
      {{tidData, kAddr}, false, "Пользовательские данные", true, true},
      {{tidTimer, kAddr}, true, "Timer", true, false},
      {{tidCurrent, tidData, kAddr}, false, "Текущие данные", true, false},
      {{tidHours, tidData, kAddr}, false, "Почасовой архив", false, true, kHour},
      {{tidIntegrator, tidData, kAddr}, true, "Integrator", false, true, kDay},
      {{tidDaysErrors, tidData, kAddr}, true, "Days Errors", false, true, kDay},
      {{tidCurrent, tidTimer, kAddr}, false, "Астрономическое дата и время", true, false, kHour, 0, 7},
      {{tidStatus, tidTimer, kAddr}, true, "Status", true, false, kHour, 0, 3},
      {{tidDateConfig, tidTimer, kAddr},
       false,
       "Дата и время изменения конфигурации прибора",
       true,
       false,
       kHour,
       0,
       7},
      {{0x23, tidCurrent, tidData, kAddr}, false, "Температура - канал 3", true, false, 0, 2, 4},
      {{0x23, tidCurrent, tidData, kAddr}, true, "T3", true, false, 0, 2, 4},
      {{0x74, tidMonths, tidData, kAddr}, false, "Объём - канал 8", false, true, 0, 0, 4},
      {{0x0D, tidHours, tidData, kAddr}, false, "Наработка в часах", false, true, 0, 0, 4},
      {{0x10, tidHoursErrors, tidData, kAddr}, false, "Количество теплоты - канал 2", false, true, 0, 2, 256},
      {{0xF5, tidDays, tidData, kAddr}, true, "Vc16", false, true, 0, 0, 4},
      // Not nodes of this driver.
      {{kAddr}, false, ""},
      {{2, kAddr}, false, ""},
      {{tidCurrent, 2, kAddr}, false, ""},
      {{tidDateColumn, tidHours, tidData, kAddr}, false, ""},
      {{0x08, tidCurrent, tidData, kAddr}, false, ""},
      {{0x03, tidCurrent, tidTimer, kAddr}, false, ""},  // parameters only under the user data
      {{0x03, tidStatus, tidData, kAddr}, false, ""},
      {{0x01, 0x03, tidCurrent, tidData, kAddr}, false, ""},
  };
  for (const TNodeCase& c : cases) {
    TNTreeData node;
    node.DAVisible = node.HDAVisible = true;  // must be cleared for unknown paths
    int kind = -1;
    std::string name = DescribeTarvel2001Node(c.path, c.english, node, kind);
    SCOPED_TRACE(c.name.empty() ? "path of depth " + std::to_string(c.path.Depth()) : c.name);
    EXPECT_EQ(name, c.name);
    EXPECT_EQ(node.DAVisible, c.da);
    EXPECT_EQ(node.HDAVisible, c.hda);
    EXPECT_EQ(node.ArchiveStep, c.step);
    EXPECT_EQ(kind, c.kind);
    if (c.dataType != 0) {
      EXPECT_EQ(node.Attributes[0].Id, 1);
      EXPECT_EQ(node.Attributes[0].Value.AsDouble(), c.dataType);
    }
  }
}

TEST(Tarvel2001Nodes, ParameterAttributes) {
  TNTreeData node;
  int kind = 0;
  DescribeTarvel2001Node({0x01, tidDays, tidData, kAddr}, false, node, kind);
  const std::pair<int32_t, TVariant> expected[] = {
      {1, TVariant::Int(4)},      {2, TVariant::Str("Масса - канал 1")},
      {3, TVariant::Str("т")},    {7, TVariant::Str(ComputerName())},
      {10, TVariant::Str("OPC")}, {13, TVariant::Str("Масса - канал 1")},
  };
  for (size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(node.Attributes[i].Id, expected[i].first);
    EXPECT_EQ(node.Attributes[i].Value, expected[i].second) << expected[i].first;
  }
  EXPECT_EQ(node.Attributes[2].Text, "т");
  EXPECT_LE(Utf8Length(ComputerName()), 16u);
  // The timer values get their data type only.
  TNTreeData timer;
  DescribeTarvel2001Node({tidVersion, tidTimer, kAddr}, false, timer, kind);
  EXPECT_EQ(timer.Attributes[1].Id, 0);
}

// A small tree: root, device 7, user data, current data and an hourly archive with one parameter each,
// and the timer's status.
class Tarvel2001Tree : public ::testing::Test {
 protected:
  TNTreeData* Add(TNTreeData* parent, uint8_t address, uint8_t kind, int dataType = 0) {
    nodes_.push_back(std::make_unique<TNTreeData>());
    TNTreeData* node = nodes_.back().get();
    node->Parent = parent;
    node->Address = address;
    node->Kind = kind;
    if (dataType) node->Attributes[0] = BuildAttribute(1, TVariant::Int(dataType));
    if (parent) parent->Children.push_back(node);
    return node;
  }
  void SetUp() override {
    root = Add(nullptr, 0, nkRoot);
    device = Add(root, kAddr, nkDevice);
    TNTreeData* data = Add(device, tidData, nkSubBranch);
    current = Add(Add(data, tidCurrent, nkSubBranch), 0x23, nkParameter, 4);
    hourly = Add(Add(data, tidHours, nkSubBranch), 0x10, nkParameter, 4);
    status = Add(Add(device, tidTimer, nkSubBranch), tidStatus, nkParameter, 3);
  }
  std::vector<std::unique_ptr<TNTreeData>> nodes_;
  TNTreeData *root{}, *device{}, *current{}, *hourly{}, *status{};
};

TEST_F(Tarvel2001Tree, IdPathOfNodes) {
  EXPECT_EQ(TIdPath::FromNode(device).Depth(), 0);
  EXPECT_EQ(TIdPath::FromNode(root).Depth(), -1);
  TIdPath path = TIdPath::FromNode(current);
  EXPECT_EQ(path.Depth(), 3);
  EXPECT_EQ(path.DeviceAddress(), kAddr);
  EXPECT_EQ(path.Id(0), 0x23);
  EXPECT_EQ(path.Id(4), 0);  // past the device: the root and the zero fill
  EXPECT_EQ(path.RequestPath(), (std::vector<uint8_t>{0x05, 0x03, kAddr, tidData, tidCurrent, 0x23}));
  EXPECT_EQ(TIdPath::FromNode(device).RequestPath(), (std::vector<uint8_t>{0x02, 0x03, kAddr}));
  EXPECT_EQ(TIdPath::FromNode(device).Child(tidData).RequestPath(),
            (std::vector<uint8_t>{0x03, 0x03, kAddr, tidData}));
}

// Records how ReadCurrent and ReadArchive dispatch instead of asking a device.
class TDispatchProbe : public TTarvel2001 {
 public:
  TDispatchProbe() : TTarvel2001(std::make_unique<XModemProtocol>(), nullptr, &ProbeLink()) {}
  std::vector<int> call;
  bool ReadCurrentAt(uint8_t address, uint8_t branch, int dataType, TPrbArray&, int mode, uint8_t parameter,
                     uint8_t firstLevel) override {
    call = {'C', address, branch, dataType, mode, parameter, firstLevel};
    return true;
  }
  bool ReadTimerAt(uint8_t address, uint8_t valueId, int dataType, TPrbArray&, int mode) override {
    call = {'T', address, valueId, dataType, mode};
    return true;
  }
  bool ReadArchiveAt(uint8_t address, uint8_t archive, TNTreeData*, TPrbArray&, TDateTime, uint8_t parameter,
                     uint8_t branch) override {
    call = {'A', address, archive, parameter, branch};
    return true;
  }

 private:
  static TConnectionDevice& ProbeLink() {
    static TConnectionDevice link;
    return link;
  }
};

TEST_F(Tarvel2001Tree, ReadsDispatchByTheIdsOfTheNode) {
  TDispatchProbe model;
  TPrbArray result;
  // A timer value sits one level higher: its fourth id is 0, and only id 1 decides.
  model.ReadCurrent(result, status, 1);
  EXPECT_EQ(model.call, (std::vector<int>{'T', kAddr, tidStatus, 3, 1}));
  model.ReadCurrent(result, current, 1);
  EXPECT_EQ(model.call, (std::vector<int>{'C', kAddr, tidCurrent, 4, 1, 0x23, tidData}));
  model.ReadArchive(result, hourly, 0);
  EXPECT_EQ(model.call, (std::vector<int>{'A', kAddr, tidHours, 0x10, tidData}));
  EXPECT_FALSE(model.ReadCurrent(result, nullptr, 1));
}

TEST(Tarvel2001Nodes, KnownPathsAreThoseWithANameInEitherNaming) {
  TConnectionDevice link;
  TTarvel2001 model(std::make_unique<XModemProtocol>(), nullptr, &link);
  EXPECT_TRUE(model.IsKnownPath({tidData, kAddr}));
  EXPECT_TRUE(model.IsKnownPath({0x2D, tidHours, tidData, kAddr}));
  EXPECT_FALSE(model.IsKnownPath({tidDateColumn, tidHours, tidData, kAddr}));
  model.SetEnglish(true);
  EXPECT_TRUE(model.IsKnownPath({tidVersion, tidTimer, kAddr}));
  EXPECT_FALSE(model.IsKnownPath({0x81, tidData, kAddr}));
}

}  // namespace
}  // namespace orvela
