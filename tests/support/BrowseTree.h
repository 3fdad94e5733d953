#pragma once
// A small device tree for browsing tests, with branches visible to one side only, parameters of several
// data types and access modes, a device without children and a parameter with a very long name:
//
//   Устройства
//     Котёл 1                    device
//       Текущие данные           DA only:  Значение (R4, Гкал, read), Наработка (I4, час, read/write),
//                                          Статус (string, write only)
//       Почасовой архив          HDA only: V (R4, м3), Q (R4, Гкал)
//     Котёл 2                    device
//       Текущие данные           DA only:  Значение (R4, Гкал)
//     Пустой                     device without children (a leaf)
//     Длинный                    device:   one parameter named with kLongNameLength "a"s
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/com/ComInterfaces.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComText.h"
#include "tree/TreeItem.h"

namespace orvela::test {

inline constexpr size_t kLongNameLength = 20'000;

struct TBrowseTree {
  TNTreeData* boiler1 = nullptr;
  TNTreeData* current1 = nullptr;
  TNTreeData* hourly1 = nullptr;
  TNTreeData* value1 = nullptr;
  TNTreeData* hours1 = nullptr;
  TNTreeData* status1 = nullptr;
  TNTreeData* boiler2 = nullptr;
  TNTreeData* empty = nullptr;
  TNTreeData* longLeaf = nullptr;
};

inline TNTreeData* AddParameter(TTree& tree, TNTreeData* parent, const std::string& name, int32_t type,
                                const std::string& units, uint16_t access = 1) {
  TNTreeData* node = tree.AddChildNamed(parent, name);
  node->Kind = nkParameter;
  node->AccessMode = access;
  DescribeParameterNode(*node, type, name, units);
  return node;
}

inline TNTreeData* AddBranch(TTree& tree, TNTreeData* parent, const std::string& name, bool da, bool hda,
                             uint8_t kind = nkBranch) {
  TNTreeData* node = tree.AddChildNamed(parent, name);
  node->Kind = kind;
  node->DAVisible = da;
  node->HDAVisible = hda;
  return node;
}

// Adds the devices above under the root, shows the tree (paths) and renumbers it.
inline TBrowseTree BuildBrowseTree(TTree& tree) {
  TBrowseTree t;
  TNTreeData* root = tree.Root();
  t.boiler1 = AddBranch(tree, root, "Котёл 1", true, true, nkDevice);
  t.current1 = AddBranch(tree, t.boiler1, "Текущие данные", true, false);
  t.value1 = AddParameter(tree, t.current1, "Значение", VT_R4, "Гкал");
  t.hours1 = AddParameter(tree, t.current1, "Наработка", VT_I4, "час", 2);
  t.status1 = AddParameter(tree, t.current1, "Статус", kDataTypeString, "", 3);
  t.hourly1 = AddBranch(tree, t.boiler1, "Почасовой архив", false, true);
  AddParameter(tree, t.hourly1, "V", VT_R4, "м3");
  AddParameter(tree, t.hourly1, "Q", VT_R4, "Гкал");
  t.boiler2 = AddBranch(tree, root, "Котёл 2", true, true, nkDevice);
  AddParameter(tree, AddBranch(tree, t.boiler2, "Текущие данные", true, false), "Значение", VT_R4, "Гкал");
  t.empty = AddBranch(tree, root, "Пустой", true, true, nkDevice);
  TNTreeData* longDevice = AddBranch(tree, root, "Длинный", true, true, nkDevice);
  t.longLeaf = AddParameter(tree, longDevice, std::string(kLongNameLength, 'a'), VT_R4, "");
  tree.ShowTree(root, nullptr, nullptr);
  tree.Renumber();
  return t;
}

// Everything an enumerator still holds, fetched two at a time; the last fetch must say S_FALSE with the
// count it gave, and nothing may follow it.
inline std::vector<std::string> Drain(IEnumString* e) {
  std::vector<std::string> out;
  for (;;) {
    LPOLESTR got[2] = {nullptr, nullptr};
    ULONG fetched = 99;
    const HRESULT hr = e->Next(2, got, &fetched);
    for (ULONG i = 0; i < fetched && i < 2; ++i) {
      out.push_back(WideToUtf8(got[i]));
      CoTaskMemFree(got[i]);
    }
    if (hr == S_OK) {
      EXPECT_EQ(fetched, 2u);
      continue;
    }
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_LT(fetched, 2u);
    LPOLESTR past = nullptr;
    EXPECT_EQ(e->Next(1, &past, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(past, nullptr);
    return out;
  }
}

}  // namespace orvela::test
