// The tree controller: merging devices with the duplicate rules, removal, the serial list, root
// normalisation and the standard parameter leaves.
#include <gtest/gtest.h>

#include "tree/TreeController.h"
#include "tree/UiBridge.h"

namespace orvela {
namespace {

struct TDeviceSpec {
  const char* name;
  const char* serial;
  const char* conn;
  uint8_t address;
  uint8_t model;
};

class TreeController : public ::testing::Test {
 protected:
  TNTreeData* Make(const TDeviceSpec& spec) {
    TNTreeData* device = tree.CreateNode();
    device->Name = spec.name;
    device->Serial = spec.serial;
    device->ConnKey.ConnName = spec.conn;
    device->Address = spec.address;
    device->ModelCode = spec.model;
    device->Kind = nkDevice;
    device->DAVisible = device->HDAVisible = true;
    tree.AddChildNamed(device, "Текущие данные");
    return device;
  }
  // Merges the devices as one temporary root; returns how many were added.
  size_t Merge(std::initializer_list<TDeviceSpec> specs, bool replace) {
    TNTreeData* newRoot = tree.CreateNode();
    for (const TDeviceSpec& spec : specs) tree.AttachChild(newRoot, Make(spec));
    return trees.MergeDevices(newRoot, replace);
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const TNTreeData* d : tree.Root()->Children) names.push_back(d->Name);
    return names;
  }

  TTree tree;
  THeadlessUi ui;
  TTreeController trees{tree, ui};
};

TEST_F(TreeController, DuplicateRules) {
  const TDeviceSpec existing2001{"ТАРВЕЛ мод.2001  (12345678)", "12345678", "Котельная", 1, 2};
  const TDeviceSpec existingKm{"КМ", "", "Котельная", 4, 6};
  struct Case {
    const char* what;
    TDeviceSpec incoming;
    bool replace;
    std::vector<std::string> names;  // the devices afterwards
    const char* message;             // nullptr: none
  };
  const Case cases[] = {
      {"same serial and name, kept",
       existing2001,
       false,
       {existing2001.name, "КМ"},
       "Прибор ТАРВЕЛ мод.2001  (12345678) уже существует и не будет добавлен"},
      {"same serial and name, replaced",
       existing2001,
       true,
       {"КМ", existing2001.name},
       "Прибор ТАРВЕЛ мод.2001  (12345678) уже существует и будет заменен"},
      {"same serial, other name",
       {"ТАРВЕЛ  (12345678)", "12345678", "Котельная", 2, 3},
       false,
       {existing2001.name, "КМ", "ТАРВЕЛ  (12345678)"},
       nullptr},
      {"no serial, same connection and address",
       existingKm,
       false,
       {existing2001.name, "КМ"},
       "Прибор КМ уже существует и не будет добавлен"},
      {"no serial, other address",
       {"КМ", "", "Котельная", 5, 6},
       false,
       {existing2001.name, "КМ", "КМ (копия 1)"},
       nullptr},
      {"no serial, other connection",
       {"КМ", "", "Насосная", 4, 6},
       true,
       {existing2001.name, "КМ", "КМ (копия 1)"},
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tree.SetRoot(tree.CreateRoot());
    ASSERT_EQ(Merge({existing2001, existingKm}, false), 2u);
    TNTreeData* before = tree.Root()->Children[0];
    size_t shown = ui.Shown().size();

    size_t added = Merge({c.incoming}, c.replace);
    EXPECT_EQ(Names(), c.names);
    EXPECT_EQ(added, c.message != nullptr && !c.replace ? 0u : 1u);
    if (c.message != nullptr) {
      ASSERT_EQ(ui.Shown().size(), shown + 1);
      EXPECT_EQ(ui.Shown().back(), c.message);
    } else {
      EXPECT_EQ(ui.Shown().size(), shown);
    }
    EXPECT_EQ(tree.IsInTree(before), !(c.replace && c.message != nullptr));
    EXPECT_EQ(ui.Status(), "Приборов: " + std::to_string(c.names.size()));
    // Every device is reachable by its own identifier, and handles follow the new order.
    for (TNTreeData* d : tree.Root()->Children) {
      EXPECT_EQ(tree.ResolveIdentifier(d->Path), d) << d->Path;
      EXPECT_EQ(tree.ResolveHandle(d->Handle), d);
      EXPECT_EQ(tree.ResolveIdentifier(d->Path + ".Текущие данные"), d->Children[0]);
    }
  }
}

TEST_F(TreeController, SerialListFollowsTheRootAndRemovalRenumbers) {
  Merge({{"A(1)", "1", "Л", 1, 2}, {"B(2)", "2", "Л", 2, 2}, {"КМ", "", "Л", 3, 6}}, false);
  EXPECT_EQ(trees.Serials(), (std::vector<std::string>{"1", "2"}));
  TNTreeData* a = trees.FindDeviceByNameOrSerial("1");
  ASSERT_NE(a, nullptr);
  TNTreeData* b = trees.FindDeviceByNameOrSerial("B(2)");
  int32_t bHandle = b->Handle;

  trees.RemoveDevice(a);
  EXPECT_FALSE(tree.IsInTree(a));
  EXPECT_EQ(trees.Serials(), (std::vector<std::string>{"2"}));
  EXPECT_FALSE(trees.HasSerial("1"));
  EXPECT_EQ(trees.DeviceCount(), 2u);
  EXPECT_EQ(ui.Status(), "Приборов: 2");
  EXPECT_NE(b->Handle, bHandle);  // its position moved
  EXPECT_EQ(tree.ResolveHandle(bHandle), nullptr);
  EXPECT_EQ(tree.ResolveHandle(b->Handle), b);

  // A device added later is in the list at once, not only after a restart.
  Merge({{"C(3)", "3", "Л", 4, 2}}, false);
  EXPECT_TRUE(trees.HasSerial("3"));
  // A name two devices share does not pick either.
  Merge({{"КМ", "", "Л", 9, 6}}, false);
  EXPECT_NE(trees.FindDeviceByNameOrSerial("КМ"), nullptr);  // the second is "КМ (копия 1)"
  EXPECT_EQ(trees.FindDeviceByNameOrSerial("нет такого"), nullptr);
}

TEST_F(TreeController, NormaliseRootRenamesAndStoresCounts) {
  TTree english(true);
  english.Root()->Name = "Устройства";  // saved by a Russian installation
  TTreeController englishTrees(english, ui);
  TNTreeData* device = english.AddChildNamed(english.Root(), "D");
  english.AddChildNamed(device, "x");
  english.AddChildNamed(device, "y");
  englishTrees.NormaliseRoot();
  EXPECT_EQ(english.Root()->Name, "Device");
  EXPECT_EQ(english.Root()->Path, "Device");
  EXPECT_EQ(device->Path, "Device.D");
  EXPECT_EQ(english.Root()->StoredChildCount, 1);
  EXPECT_EQ(device->StoredChildCount, 2);
  EXPECT_EQ(device->Children[1]->IndexInParent, 1);
  EXPECT_EQ(device->Children[1]->Path, "Device.D.y");
}

TEST_F(TreeController, ParameterLeavesByMode) {
  struct Leaf {
    std::string name;
    uint8_t address;
    int dataType;
    std::string description;
    std::string units;
  };
  struct Case {
    int mode;
    bool english;
    std::vector<Leaf> leaves;
  };
  const Case cases[] = {
      {lmArchive,
       false,
       {{"Значение", 1, 4, "1", ""}, {"Наработка", 2, 4, "2", "час"}, {"Код ошибки", 3, 3, "3", "нет"}}},
      {lmArchive,
       true,
       {{"Value", 1, 4, "1", ""}, {"Hours", 2, 4, "2", "час"}, {"Time Error", 3, 3, "3", "нет"}}},
      {lmArchiveNoValue, false, {{"Наработка", 2, 4, "2", "час"}, {"Код ошибки", 3, 3, "3", "нет"}}},
      {lmCurrent, false, {{"Значение", 1, 4, "Значение", "Гкал"}, {"Статус", 2, 3, "Статус", ""}}},
      {lmCurrent, true, {{"Value", 1, 4, "Значение", "Гкал"}, {"Status", 2, 3, "Статус", ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.mode) + (c.english ? " en" : " ru"));
    TTree t(c.english);
    TTreeController controller(t, ui);
    TNTreeData* param = t.AddChildNamed(t.Root(), "Q");
    param->Kind = nkSubBranch;
    param->Level = 3;
    param->ModelCode = 2;
    param->ConnKey.ConnName = "Котельная";
    param->HDAVisible = true;
    param->DAVisible = false;
    DescribeParameterNode(*param, 4, "Q", "Гкал");
    controller.AddParameterLeaves(param, c.mode);
    EXPECT_EQ(param->Kind, nkParameter);
    ASSERT_EQ(param->Children.size(), c.leaves.size());
    for (size_t i = 0; i < c.leaves.size(); ++i) {
      const TNTreeData* leaf = param->Children[i];
      const Leaf& want = c.leaves[i];
      EXPECT_EQ(leaf->Name, want.name);
      EXPECT_EQ(leaf->Address, want.address);
      EXPECT_EQ(leaf->Kind, nkGroupedParameter);
      EXPECT_EQ(leaf->Level, 4);
      EXPECT_EQ(leaf->ModelCode, 2);
      EXPECT_EQ(leaf->ConnKey.ConnName, "Котельная");
      EXPECT_TRUE(leaf->HDAVisible);
      EXPECT_FALSE(leaf->DAVisible);
      EXPECT_EQ(Attribute(*leaf, asDataType).Value.AsDouble(), want.dataType);
      EXPECT_EQ(Attribute(*leaf, asDescription).Text, want.description);
      EXPECT_EQ(Attribute(*leaf, asUnits).Text, want.units);
    }
  }
  // A grouped parameter stays one.
  TNTreeData* grouped = tree.AddChildNamed(tree.Root(), "G");
  grouped->Kind = nkGroupedParameter;
  trees.AddParameterLeaves(grouped, lmCurrent);
  EXPECT_EQ(grouped->Kind, nkGroupedParameter);
}

}  // namespace
}  // namespace orvela
