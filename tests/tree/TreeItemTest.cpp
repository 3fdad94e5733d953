#include "tree/TreeItem.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "platform/Clock.h"
#include "platform/JournalSink.h"
#include "support/Fakes.h"

namespace orvela {
namespace {

using ::testing::ElementsAre;

// A visual tree that remembers what it was asked to show.
class TRecordingView : public IViewTree {
 public:
  struct Node : IViewNode {
    std::string caption;
    int image = -1;
    Node* parent = nullptr;
    TNTreeData* data = nullptr;
    void SetCaption(const std::string& c) override { caption = c; }
  };
  IViewNode* AddNode(IViewNode* parent, const std::string& caption, int imageIndex,
                     TNTreeData* data) override {
    auto node = std::make_unique<Node>();
    node->caption = caption;
    node->image = imageIndex;
    node->parent = static_cast<Node*>(parent);
    node->data = data;
    nodes.push_back(std::move(node));
    return nodes.back().get();
  }
  void DeleteNode(IViewNode*) override {}
  std::vector<std::unique_ptr<Node>> nodes;
};

constexpr int32_t kRootHandle = 0x01000000;

// Устройства
//   Dev A (11111111) / Текущие данные / Значение, Статус
//   Dev B (22222222) / Текущие данные / Значение
//   Dev C (33333333) / Почасовой архив
class TreeTest : public ::testing::Test {
 protected:
  TNTreeData* AddDevice(const std::string& name, const std::string& serial) {
    TNTreeData* device = tree.AddChildNamed(tree.Root(), name);
    device->Kind = nkDevice;
    device->Serial = serial;
    return device;
  }
  TNTreeData* AddBranch(TNTreeData* device, const std::string& name, std::vector<std::string> params) {
    TNTreeData* branch = tree.AddChildNamed(device, name);
    branch->Kind = nkBranch;
    for (const auto& p : params) tree.AddChildNamed(branch, p)->Kind = nkParameter;
    return branch;
  }
  void SetUp() override {
    devA = AddDevice("Dev A", "11111111");
    AddBranch(devA, "Текущие данные", {"Значение", "Статус"});
    devB = AddDevice("Dev B", "22222222");
    AddBranch(devB, "Текущие данные", {"Значение"});
    devC = AddDevice("Dev C", "33333333");
    AddBranch(devC, "Почасовой архив", {});
    Refresh();
  }
  void Refresh() {
    tree.ShowTree(tree.Root(), nullptr, nullptr);
    tree.Renumber();
  }
  std::vector<TNTreeData*> PreOrderNodes(TNTreeData* node) {
    std::vector<TNTreeData*> out{node};
    for (TNTreeData* child : node->Children) {
      auto sub = PreOrderNodes(child);
      out.insert(out.end(), sub.begin(), sub.end());
    }
    return out;
  }

  TTree tree;
  TNTreeData* devA = nullptr;
  TNTreeData* devB = nullptr;
  TNTreeData* devC = nullptr;
};

TEST(TreeRoot, FreshTreeHasOneRootNumberedFirst) {
  TTree tree;
  TNTreeData* root = tree.Root();
  EXPECT_EQ(root->Name, "Устройства");
  EXPECT_EQ(root->Path, "Устройства");
  EXPECT_EQ(root->Serial, "00000000");
  EXPECT_TRUE(root->DAVisible);
  EXPECT_TRUE(root->HDAVisible);
  tree.Renumber();
  EXPECT_EQ(root->Handle, 16777216);
  EXPECT_EQ(tree.ResolveHandle(kRootHandle), root);
  EXPECT_EQ(tree.ResolveIdentifier("Устройства"), root);
  EXPECT_EQ(tree.DeviceCount(), 0u);
  EXPECT_EQ(tree.NodeCount(), 1u);

  TTree english(true);
  EXPECT_EQ(english.Root()->Name, "Device");
  EXPECT_NE(english.CreateRoot(), english.Root());  // a fresh root waits for SetRoot
}

TEST_F(TreeTest, HandlesFollowPreOrderAndResolveToTheirNodes) {
  auto nodes = PreOrderNodes(tree.Root());
  ASSERT_EQ(nodes.size(), 10u);
  EXPECT_EQ(tree.NodeCount(), 10u);
  EXPECT_EQ(tree.DeviceCount(), 3u);
  for (size_t i = 0; i < nodes.size(); ++i) {
    EXPECT_EQ(nodes[i]->Handle, kRootHandle + static_cast<int32_t>(i)) << nodes[i]->Path;
    EXPECT_EQ(tree.ResolveHandle(nodes[i]->Handle), nodes[i]);
  }
  EXPECT_EQ(devB->Handle, kRootHandle + 5);
  // Renumbering an unchanged tree changes nothing.
  tree.Renumber();
  for (size_t i = 0; i < nodes.size(); ++i)
    EXPECT_EQ(nodes[i]->Handle, kRootHandle + static_cast<int32_t>(i));
}

TEST_F(TreeTest, HandlesThatNameNoNodeResolveToNone) {
  const int32_t handles[] = {kRootHandle + 10, kRootHandle + 0x00FFFFFF, 0x02000000 + 5, 0, -1};
  for (int32_t h : handles) EXPECT_EQ(tree.ResolveHandle(h), nullptr) << h;
}

TEST_F(TreeTest, StaleHandlesAfterRemovingADeviceNeverReachAnotherNode) {
  std::map<TNTreeData*, int32_t> before;
  for (TNTreeData* n : PreOrderNodes(tree.Root())) before[n] = n->Handle;

  tree.DetachChild(tree.Root(), devA);
  tree.Renumber();

  // Every handle handed out before resolves to its own node or to none, never to the node that now stands
  // at its old position.
  for (auto [node, handle] : before) {
    TNTreeData* resolved = tree.ResolveHandle(handle);
    EXPECT_TRUE(resolved == nullptr || resolved == node) << node->Path;
  }
  // Dev B moved from 5 to 1: its old handle now points at Dev C's old branch position and fails.
  EXPECT_EQ(tree.ResolveHandle(before[devB]), nullptr);
  EXPECT_EQ(tree.ResolveHandle(before[devA]), nullptr);
  EXPECT_EQ(tree.ResolveHandle(kRootHandle), tree.Root());
  // The new handles resolve, and keep the position in the low 24 bits.
  auto nodes = PreOrderNodes(tree.Root());
  ASSERT_EQ(nodes.size(), 6u);
  for (size_t i = 0; i < nodes.size(); ++i) {
    EXPECT_EQ(nodes[i]->Handle & 0x00FFFFFF, static_cast<int32_t>(i));
    EXPECT_GT(nodes[i]->Handle, 0);
    EXPECT_EQ(tree.ResolveHandle(nodes[i]->Handle), nodes[i]);
  }
  EXPECT_EQ(tree.DeviceCount(), 2u);

  // The device comes back at the end: Dev B and C keep their new handles, old ones still fail.
  tree.AttachChild(tree.Root(), devA);
  tree.Renumber();
  EXPECT_EQ(tree.ResolveHandle(nodes[1]->Handle), devB);
  for (auto [node, handle] : before) {
    TNTreeData* resolved = tree.ResolveHandle(handle);
    EXPECT_TRUE(resolved == nullptr || resolved == node) << node->Path;
  }
}

TEST_F(TreeTest, ResolveHandleDAJournalsAMismatchOnly) {
  test::TJournalRecorder journal;
  EXPECT_EQ(tree.ResolveHandleDA(devB->Handle, &journal), devB);
  EXPECT_EQ(tree.ResolveHandleDA(kRootHandle + 10, &journal), nullptr);  // no node there: nothing to say
  EXPECT_TRUE(journal.lines.empty());

  EXPECT_EQ(tree.ResolveHandleDA(0x02000005, &journal), nullptr);
  EXPECT_THAT(journal.lines, ElementsAre("Несовпадение33554437  16777221"));
  EXPECT_THAT(journal.seconds, ElementsAre(""));

  // Without a sink of its own the line goes to the process-wide one.
  {
    test::TJournalCapture process;
    EXPECT_EQ(tree.ResolveHandleDA(0x02000000, nullptr), nullptr);
    EXPECT_THAT(process.lines, ElementsAre("Несовпадение33554432  16777216"));
    EXPECT_THAT(process.seconds, ElementsAre(""));
  }
}

TEST_F(TreeTest, EveryPathResolvesToItsNode) {
  EXPECT_EQ(devA->Children[0]->Children[1]->Path, "Устройства.Dev A.Текущие данные.Статус");
  for (TNTreeData* n : PreOrderNodes(tree.Root())) EXPECT_EQ(tree.ResolveIdentifier(n->Path), n) << n->Path;
  // And again in reverse order, so every lookup starts from a different cached node.
  auto nodes = PreOrderNodes(tree.Root());
  for (auto it = nodes.rbegin(); it != nodes.rend(); ++it)
    EXPECT_EQ(tree.ResolveIdentifier((*it)->Path), *it);

  const char* missing[] = {"",
                           "Dev A",
                           "Устройства.Dev",
                           "Устройства.Dev A.Текущие данные.Знач",
                           "Устройства.Dev A.Текущие данные.Значение.X",
                           "Устройства.Dev D"};
  for (const char* id : missing) EXPECT_EQ(tree.ResolveIdentifier(id), nullptr) << id;
}

TEST_F(TreeTest, DuplicateDeviceNamesResolveToTheFirst) {
  TNTreeData* second = AddDevice("Dev A", "44444444");
  AddBranch(second, "Текущие данные", {"Значение"});
  Refresh();
  EXPECT_EQ(second->Path, devA->Path);
  EXPECT_EQ(tree.ResolveIdentifier("Устройства.Dev A"), devA);
  EXPECT_EQ(tree.ResolveIdentifier("Устройства.Dev A.Текущие данные.Значение"),
            devA->Children[0]->Children[0]);
}

TEST_F(TreeTest, NamesWithAFullStop) {
  TNTreeData* dotted = AddDevice("Узел.2", "55555555");
  AddBranch(dotted, "Текущие данные", {"Значение"});
  Refresh();
  EXPECT_EQ(tree.ResolveIdentifier("Устройства.Узел.2.Текущие данные.Значение"),
            dotted->Children[0]->Children[0]);

  // "Узел" comes first and has a child "2": both paths read "Устройства.Узел.2", and the walk takes the
  // first one in tree order.
  TTree ambiguous;
  TNTreeData* plain = ambiguous.AddChildNamed(ambiguous.Root(), "Узел");
  TNTreeData* child = ambiguous.AddChildNamed(plain, "2");
  TNTreeData* other = ambiguous.AddChildNamed(ambiguous.Root(), "Узел.2");
  ambiguous.ShowTree(ambiguous.Root(), nullptr, nullptr);
  EXPECT_EQ(other->Path, child->Path);
  EXPECT_EQ(ambiguous.ResolveIdentifier("Устройства.Узел.2"), child);
}

TEST_F(TreeTest, IdentifierCacheGivesTheAnswersOfAWalkFromTheRoot) {
  // Siblings one after another, then across devices.
  TNTreeData* value = devA->Children[0]->Children[0];
  TNTreeData* status = devA->Children[0]->Children[1];
  EXPECT_EQ(tree.ResolveIdentifier(status->Path), status);
  EXPECT_EQ(tree.ResolveIdentifier(value->Path), value);
  EXPECT_EQ(tree.ResolveIdentifier(status->Path), status);
  EXPECT_EQ(tree.ResolveIdentifier("Устройства.Dev B.Текущие данные.Значение"),
            devB->Children[0]->Children[0]);

  // A device whose path is a prefix of an earlier device's path: the cached parent "Узел 1" occurs inside
  // the identifier of "Узел 10", which stands before it.
  TTree t;
  TNTreeData* ten = t.AddChildNamed(t.Root(), "Узел 10");
  TNTreeData* tenData = t.AddChildNamed(ten, "Текущие данные");
  TNTreeData* one = t.AddChildNamed(t.Root(), "Узел 1");
  TNTreeData* oneData = t.AddChildNamed(one, "Текущие данные");
  t.ShowTree(t.Root(), nullptr, nullptr);
  EXPECT_EQ(t.ResolveIdentifier("Устройства.Узел 1.Текущие данные"), oneData);
  EXPECT_EQ(t.ResolveIdentifier("Устройства.Узел 10.Текущие данные"), tenData);
  EXPECT_EQ(t.ResolveIdentifier("Устройства.Узел 1.Текущие данные"), oneData);
}

TEST_F(TreeTest, IdentifierCacheAfterADeviceIsDetachedOrReread) {
  const std::string id = "Устройства.Dev A.Текущие данные.Значение";
  TNTreeData* old = tree.ResolveIdentifier(id);
  ASSERT_NE(old, nullptr);

  // The device is re-read: its old subtree is unlinked and built again.
  tree.ClearChildren(devA);
  TNTreeData* fresh = AddBranch(devA, "Текущие данные", {"Значение"})->Children[0];
  Refresh();
  EXPECT_EQ(tree.ResolveIdentifier(id), fresh);
  EXPECT_FALSE(tree.IsInTree(old));

  // The device is removed: the identifier names nothing, although the detached nodes keep their paths.
  tree.DetachChild(tree.Root(), devA);
  Refresh();
  EXPECT_EQ(fresh->Path, id);
  EXPECT_EQ(tree.ResolveIdentifier(id), nullptr);

  // A new device of the same name takes its place.
  TNTreeData* again = AddDevice("Dev A", "11111111");
  TNTreeData* againValue = AddBranch(again, "Текущие данные", {"Значение"})->Children[0];
  Refresh();
  EXPECT_EQ(tree.ResolveIdentifier("Устройства.Dev A.Текущие данные.Статус"), nullptr);
  EXPECT_EQ(tree.ResolveIdentifier(id), againValue);
}

TEST_F(TreeTest, ChildCreationCopiesWhatTheRulesSay) {
  TConnKey key;
  key.ConnName = "Котельная";
  TTree::SetConnectionKey(devC, key);
  devC->ModelCode = mcTarvelM;
  devC->DAVisible = true;
  devC->HDAVisible = false;
  devC->Level = 0;

  TNTreeData* named = tree.AddChildNamed(devC, "Посуточный архив");
  EXPECT_EQ(named->Parent, devC);
  EXPECT_EQ(named->Level, 1);
  EXPECT_EQ(named->ModelCode, mcTarvelM);
  EXPECT_TRUE(named->DAVisible);
  EXPECT_FALSE(named->HDAVisible);
  EXPECT_EQ(named->ConnKey, key);
  EXPECT_EQ(named->IndexInParent, 1);
  EXPECT_NE(named->ReadRecord, nullptr);
  EXPECT_NE(named->DateArrayCell, nullptr);

  size_t count = devC->Children.size();
  EXPECT_EQ(tree.FindOrAddChild(devC, "Посуточный архив"), named);
  EXPECT_EQ(devC->Children.size(), count);

  TNTreeData* added = tree.FindOrAddChild(devC, "посуточный архив");  // names compare case-sensitively
  EXPECT_NE(added, named);
  EXPECT_EQ(devC->Children.size(), count + 1);
  EXPECT_EQ(added->ConnKey, key);
  EXPECT_EQ(added->Parent, devC);
  EXPECT_EQ(added->Level, 0);
  EXPECT_EQ(added->ModelCode, 0);
  EXPECT_FALSE(added->DAVisible);

  // The key reaches every node below the device.
  for (TNTreeData* n : PreOrderNodes(devC)) EXPECT_EQ(n->ConnKey.ConnName, "Котельная");
}

TEST_F(TreeTest, DetachClearAndAttach) {
  TNTreeData* branch = devA->Children[0];
  TNTreeData* status = branch->Children[1];
  tree.DetachChild(branch, branch->Children[0]);
  EXPECT_EQ(branch->Children.size(), 1u);
  EXPECT_EQ(status->IndexInParent, 0);
  tree.DetachChild(branch, devB);  // not a child: nothing happens
  EXPECT_EQ(branch->Children.size(), 1u);

  tree.ClearChildren(devB);
  EXPECT_TRUE(devB->Children.empty());
  EXPECT_EQ(tree.NodeCount(), 7u);

  EXPECT_THROW(tree.AttachChild(branch, devA), std::invalid_argument);
  EXPECT_THROW(tree.AttachChild(devA, devA), std::invalid_argument);
  tree.AttachChild(devB, status);
  EXPECT_EQ(status->Parent, devB);
  EXPECT_EQ(tree.NodeCount(), 8u);
}

TEST_F(TreeTest, FindDeviceBySerialAndName) {
  TNTreeData probe;
  probe.Name = "Dev B";
  probe.Serial = "22222222";
  EXPECT_EQ(tree.FindDevice(&probe), devB);
  probe.Serial = "22222223";
  EXPECT_EQ(tree.FindDevice(&probe), nullptr);
  probe.Serial = "22222222";
  probe.Name = "Dev C";
  EXPECT_EQ(tree.FindDevice(&probe), nullptr);
  EXPECT_EQ(tree.FindDevice(nullptr), nullptr);
}

TEST_F(TreeTest, ClearGroupWorkItemsClearsTheSubtree) {
  int work = 0;
  for (TNTreeData* n : PreOrderNodes(devA)) n->GroupWorkItem = &work;
  TTree::ClearGroupWorkItems(devA);
  for (TNTreeData* n : PreOrderNodes(devA)) {
    if (n != devA) {
      EXPECT_EQ(n->GroupWorkItem, nullptr) << n->Path;
    }
  }
}

TEST_F(TreeTest, ShowTreeBuildsTheViewAndKeepsPathsCurrent) {
  TRecordingView view;
  tree.ShowTree(tree.Root(), nullptr, &view);
  auto nodes = PreOrderNodes(tree.Root());
  ASSERT_EQ(view.nodes.size(), nodes.size());
  for (size_t i = 0; i < nodes.size(); ++i) {
    auto* v = view.nodes[i].get();
    EXPECT_EQ(nodes[i]->ViewNode, v);
    EXPECT_EQ(v->data, nodes[i]);
    EXPECT_EQ(v->caption, nodes[i]->Name);
    EXPECT_EQ(v->parent, nodes[i]->Parent ? nodes[i]->Parent->ViewNode : nullptr);
  }
  EXPECT_EQ(view.nodes[0]->image, 9);   // root
  EXPECT_EQ(view.nodes[1]->image, 15);  // device
  EXPECT_EQ(view.nodes[2]->image, 19);  // branch
  EXPECT_EQ(view.nodes[3]->image, 13);  // parameter
  // Every node of a device carries the device's serial.
  for (TNTreeData* n : PreOrderNodes(devB)) EXPECT_EQ(n->Serial, "22222222");

  // Shown again after a rename: no new view nodes, the caption and the paths below follow the name.
  devB->Name = "Dev B2";
  tree.ShowTree(tree.Root(), nullptr, &view);
  EXPECT_EQ(view.nodes.size(), nodes.size());
  EXPECT_EQ(static_cast<TRecordingView::Node*>(devB->ViewNode)->caption, "Dev B2");
  EXPECT_EQ(devB->Children[0]->Children[0]->Path, "Устройства.Dev B2.Текущие данные.Значение");
  EXPECT_EQ(tree.ResolveIdentifier("Устройства.Dev B2.Текущие данные"), devB->Children[0]);
}

TEST(TreeKinds, ImageIndexPerKind) {
  const std::pair<int, int> images[] = {{0, 9},  {1, 15}, {2, 19}, {3, 9},
                                        {4, 13}, {5, 14}, {6, 19}, {255, 19}};
  for (auto [kind, image] : images) EXPECT_EQ(ImageIndexForKind(static_cast<uint8_t>(kind)), image) << kind;
}

TEST(TreeAttributes, BuildAttributeStampsUtcAndCutsText) {
  ManualClock clock(EncodeDateTime(2024, 3, 5, 12, 30, 15, 250));
  TAttribRec units = BuildAttribute(3, TVariant::Str("Гкал"), clock);
  EXPECT_EQ(units.Id, 3);
  EXPECT_EQ(units.Text, "Гкал");
  EXPECT_EQ(units.Time.wYear, 2024);
  EXPECT_EQ(units.Time.wDay, 5);
  EXPECT_EQ(units.Time.wHour, 9);  // Moscow is three hours ahead of UTC
  EXPECT_EQ(units.Time.wMinute, 30);
  EXPECT_EQ(units.Time.wMilliseconds, 250);

  std::string longText;
  for (int i = 0; i < 300; ++i) longText += "ж";
  EXPECT_EQ(BuildAttribute(2, TVariant::Str(longText), clock).Text.size(), 255u * 2);
  TAttribRec type = BuildAttribute(1, TVariant::Int(4), clock);
  EXPECT_EQ(type.Value, TVariant::Int(4));
  EXPECT_EQ(type.Text, "");
}

TEST(TreeItemView, ReadsTheNodeForThePropertiesWindow) {
  const std::pair<int, const char*> words[] = {{4, "плав. точка"}, {7, "Дата/Время"}, {8, "строка"},
                                               {256, "строка"},    {3, ""},           {0, ""}};
  for (auto [code, word] : words) {
    TNTreeData node;
    node.Attributes[0] = BuildAttribute(1, TVariant::Int(code));
    EXPECT_EQ(TTreeItem(&node).DataTypeWord(), word) << code;
  }

  TNTreeData node;
  node.Name = "Значение";
  node.Path = "Устройства.Dev.Значение";
  node.Attributes[1] = BuildAttribute(2, TVariant::Str("Значение"));
  node.Attributes[2] = BuildAttribute(3, TVariant::Str("Гкал"));
  node.ConnKey.LinkAddress = "10.0.0.7:4001";
  node.ArchiveStep = 3600000;
  TTreeItem item(&node);
  EXPECT_EQ(item.Description(), "Значение");
  EXPECT_EQ(item.Units(), "Гкал");
  EXPECT_EQ(item.Name(), "Значение");
  EXPECT_EQ(item.Path(), "Устройства.Dev.Значение");
  EXPECT_EQ(item.LinkAddress(), "10.0.0.7:4001");
  EXPECT_EQ(item.ArchiveStep(), 3600000);
  item.SetArchiveStep(86400000);
  EXPECT_EQ(node.ArchiveStep, 86400000);
  EXPECT_EQ(TTreeItem(nullptr).Name(), "");
}

}  // namespace
}  // namespace orvela
