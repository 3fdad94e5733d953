#include "tree/TreeController.h"

#include <functional>

#include "tree/OldConfig.h"

namespace orvela {
namespace {

constexpr int32_t kDataTypeFloat = 4;  // VT_R4
constexpr int32_t kDataTypeInt = 3;    // VT_I4

struct TLeafRow {
  int mode;
  uint8_t address;
  const char* ru;
  const char* en;
  int32_t dataType;
  // Description: the leaf's address as text when null.
  const char* description;
  // Units: the node's own units when null.
  const char* units;
};

// clang-format off
constexpr TLeafRow kLeafRows[] = {
    {lmArchive, 1, "Значение", "Value", kDataTypeFloat, nullptr, ""},
    {lmArchive, 2, "Наработка", "Hours", kDataTypeFloat, nullptr, "час"},
    {lmArchive, 3, "Код ошибки", "Time Error", kDataTypeInt, nullptr, "нет"},
    {lmArchiveNoValue, 2, "Наработка", "Hours", kDataTypeFloat, nullptr, "час"},
    {lmArchiveNoValue, 3, "Код ошибки", "Time Error", kDataTypeInt, nullptr, "нет"},
    {lmCurrent, 1, "Значение", "Value", kDataTypeFloat, "Значение", nullptr},
    {lmCurrent, 2, "Статус", "Status", kDataTypeInt, "Статус", ""},
};
// clang-format on

}  // namespace

TTreeController::TTreeController(TTree& tree, IUiBridge& ui, IViewTree* view)
    : tree_(tree), ui_(ui), view_(view) {}

void TTreeController::NormaliseRoot() {
  TNTreeData* root = tree_.Root();
  if (root == nullptr) {
    root = tree_.CreateRoot();
    tree_.SetRoot(root);
  }
  std::string rootName = tree_.English() ? kRootNameEn : kRootNameRu;
  if (root->Name != rootName) {
    auto lock = tree_.WriteLock();
    root->Name = rootName;
    root->Path = rootName;
  }
  tree_.ShowTree(root, nullptr, view_);
  auto lock = tree_.WriteLock();
  std::function<void(TNTreeData*)> store = [&](TNTreeData* node) {
    node->StoredChildCount = static_cast<int32_t>(node->Children.size());
    for (size_t i = 0; i < node->Children.size(); ++i) {
      node->Children[i]->IndexInParent = static_cast<int32_t>(i);
      store(node->Children[i]);
    }
  };
  store(root);
}

TNTreeData* TTreeController::FindDuplicate(const TNTreeData& device) const {
  auto lock = tree_.ReadLock();
  for (TNTreeData* existing : tree_.Root()->Children) {
    if (existing->Serial != device.Serial) continue;
    if (!device.Serial.empty()) {
      if (existing->Name == device.Name) return existing;
      continue;
    }
    if (existing->ConnKey.ConnName == device.ConnKey.ConnName && existing->Address == device.Address &&
        existing->ModelCode == device.ModelCode)
      return existing;
  }
  return nullptr;
}

void TTreeController::MakeNameUnique(TNTreeData& device) const {
  if (!device.Serial.empty()) return;
  auto taken = [&](const std::string& name) {
    for (const TNTreeData* existing : tree_.Root()->Children)
      if (existing->Name == name) return true;
    return false;
  };
  std::string base = device.Name;
  for (int copy = 1; taken(device.Name); ++copy) device.Name = base + " (копия " + std::to_string(copy) + ")";
}

size_t TTreeController::MergeDevices(TNTreeData* newRoot, bool replace) {
  if (newRoot == nullptr) return 0;
  std::vector<TNTreeData*> incoming = newRoot->Children;
  tree_.ClearChildren(newRoot);
  size_t added = 0;
  for (TNTreeData* device : incoming) {
    if (TNTreeData* existing = FindDuplicate(*device)) {
      if (!replace) {
        ui_.Message("Прибор " + device->Name + " уже существует и не будет добавлен");
        continue;
      }
      ui_.Message("Прибор " + device->Name + " уже существует и будет заменен");
      if (view_ != nullptr && existing->ViewNode != nullptr) view_->DeleteNode(existing->ViewNode);
      existing->ViewNode = nullptr;
      tree_.DetachChild(tree_.Root(), existing);
    }
    MakeNameUnique(*device);
    tree_.AttachChild(tree_.Root(), device);
    tree_.ShowTree(device, tree_.Root()->ViewNode, view_);
    ++added;
  }
  ShowDeviceCount();
  tree_.Renumber();
  return added;
}

void TTreeController::RemoveDevice(TNTreeData* device) {
  if (device == nullptr || device->Parent != tree_.Root()) return;
  tree_.DetachChild(tree_.Root(), device);
  if (view_ != nullptr && device->ViewNode != nullptr) view_->DeleteNode(device->ViewNode);
  device->ViewNode = nullptr;
  tree_.Renumber();
  ShowDeviceCount();
}

void TTreeController::Renumber() {
  tree_.Renumber();
}

size_t TTreeController::DeviceCount() const {
  return tree_.DeviceCount();
}

std::vector<std::string> TTreeController::Serials() const {
  auto lock = tree_.ReadLock();
  std::vector<std::string> serials;
  for (const TNTreeData* device : tree_.Root()->Children)
    if (!device->Serial.empty()) serials.push_back(device->Serial);
  return serials;
}

bool TTreeController::HasSerial(const std::string& serial) const {
  for (const std::string& s : Serials())
    if (s == serial) return true;
  return false;
}

TNTreeData* TTreeController::FindDeviceByNameOrSerial(const std::string& text) const {
  auto lock = tree_.ReadLock();
  TNTreeData* found = nullptr;
  for (TNTreeData* device : tree_.Root()->Children) {
    if (device->Name != text && device->Serial != text) continue;
    if (found != nullptr) return nullptr;
    found = device;
  }
  return found;
}

void TTreeController::ShowDeviceCount() {
  ui_.StatusPanel("Приборов: " + std::to_string(DeviceCount()));
}

void TTreeController::AddParameterLeaves(TNTreeData* node, int mode) {
  if (node == nullptr) return;
  if (node->Kind != nkGroupedParameter) node->Kind = nkParameter;
  std::string nodeUnits = Attribute(*node, asUnits).Text;
  for (const TLeafRow& row : kLeafRows) {
    if (row.mode != mode) continue;
    TNTreeData* leaf = tree_.AddChildNamed(node, tree_.English() ? row.en : row.ru);
    leaf->Kind = nkGroupedParameter;
    leaf->Address = row.address;
    leaf->ConnKey = node->ConnKey;
    std::string description = row.description != nullptr ? row.description : std::to_string(row.address);
    DescribeParameterNode(*leaf, row.dataType, description, row.units != nullptr ? row.units : nodeUnits);
  }
}

size_t TTreeController::ImportOldConfiguration(const std::filesystem::path& folder, bool replace) {
  TNTreeData* newRoot = BuildOldConfiguration(ReadOldConfiguration(folder), tree_);
  return MergeDevices(newRoot, replace);
}

}  // namespace orvela
