#include "tree/TreeItem.h"

#include <algorithm>
#include <span>
#include <stdexcept>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/Cp1251.h"
#include "platform/JournalSink.h"

namespace orvela {
namespace {

constexpr size_t kMaxAttributeText = 255;
constexpr int32_t kPositionMask = 0x00FFFFFF;
constexpr size_t kMaxPositions = size_t{1} << 24;
// Generations stay below 128 so handles stay positive.
constexpr int kMaxGeneration = 127;
// Parent chains are a few levels deep; the bound only stops a damaged chain from looping.
constexpr size_t kMaxDepthWalk = 1 << 16;

struct TKindImage {
  uint8_t kind;
  int image;
};
constexpr TKindImage kKindImages[] = {{nkRoot, 9},      {nkDevice, 15},    {nkBranch, 19},
                                      {nkSubBranch, 9}, {nkParameter, 13}, {nkGroupedParameter, 14}};
constexpr int kOtherKindImage = 19;

struct TTypeWord {
  int64_t type;
  const char* word;
};
constexpr TTypeWord kTypeWords[] = {
    {VT_R4, "плав. точка"}, {VT_DATE, "Дата/Время"}, {VT_BSTR, "строка"}, {kDataTypeString, "строка"}};

// Visits node and its subtree in pre-order (node, then each child with its own subtree, in child order).
template <class Fn>
void PreOrder(TNTreeData* start, Fn&& fn) {
  if (!start) return;
  std::vector<TNTreeData*> stack{start};
  while (!stack.empty()) {
    TNTreeData* node = stack.back();
    stack.pop_back();
    fn(node);
    for (auto it = node->Children.rbegin(); it != node->Children.rend(); ++it)
      if (*it) stack.push_back(*it);
  }
}

uint8_t Generation(int32_t handle) {
  return static_cast<uint8_t>(static_cast<uint32_t>(handle) >> 24);
}

bool IsChildOf(const TNTreeData* child, const TNTreeData* parent) {
  const auto& kids = parent->Children;
  size_t idx = static_cast<size_t>(child->IndexInParent);
  if (child->IndexInParent >= 0 && idx < kids.size() && kids[idx] == child) return true;
  return std::find(kids.begin(), kids.end(), child) != kids.end();
}

void Reindex(TNTreeData* parent) {
  for (size_t i = 0; i < parent->Children.size(); ++i)
    parent->Children[i]->IndexInParent = static_cast<int32_t>(i);
}

void RequireNode(const TNTreeData* node, const char* what) {
  if (!node) throw std::invalid_argument(std::string("tree: no ") + what);
}

// Whether the identifier runs through this path: the path occurs in it and is followed by a full stop, or
// is the whole identifier.
bool OnTheWay(const std::string& path, std::string_view identifier) {
  size_t pos = identifier.find(path);
  if (pos == std::string_view::npos) return false;
  size_t end = pos + path.size();
  return end < identifier.size() ? identifier[end] == '.' : path.size() == identifier.size();
}

}  // namespace

TAttribRec BuildAttribute(int32_t id, const TVariant& value, const Clock& clock) {
  TAttribRec rec;
  rec.Id = id;
  rec.Value = value;
  rec.Time = DateTimeToSystemTime(clock.NowUtc());
  if (value.vt == VT_BSTR) rec.Text = Utf8Prefix(value.s, kMaxAttributeText);
  return rec;
}

void SetAttribute(TNTreeData& node, TAttributeSlot slot, const TVariant& value, const Clock& clock) {
  node.Attributes[slot] = BuildAttribute(kAttributeIds[slot], value, clock);
}

void DescribeParameterNode(TNTreeData& node, int32_t dataType, const std::string& description,
                           const std::string& units, const Clock& clock) {
  SetAttribute(node, asDataType, TVariant::Int(dataType), clock);
  SetAttribute(node, asDescription, TVariant::OneByteStr(description), clock);
  SetAttribute(node, asUnits, TVariant::OneByteStr(units), clock);
}

int ImageIndexForKind(uint8_t kind) {
  for (const auto& entry : kKindImages)
    if (entry.kind == kind) return entry.image;
  return kOtherKindImage;
}

// The arena, the pre-order position array behind ResolveHandle and the node ResolveIdentifier found last.
// Positions and the cached node change under the shared lock too (resolution is a read of the tree), so
// they have a mutex of their own; the tree lock is always taken first.
struct TTree::Impl {
  std::deque<std::unique_ptr<TNTreeData>> arena;
  std::mutex cacheMutex;
  std::vector<TNTreeData*> positions;
  bool positionsValid = false;
  TNTreeData* lastFound = nullptr;
  // Per position, the highest handle generation ever seen there (kept across reloads: clients may still
  // hold handles of the old tree).
  std::unordered_map<uint32_t, uint8_t> highestGeneration;

  void Invalidate() {
    std::lock_guard lock(cacheMutex);
    positions.clear();
    positionsValid = false;
    lastFound = nullptr;
  }
};

TTree::TTree(bool english) : impl_(std::make_unique<Impl>()), english_(english) {
  root_ = CreateRootUnlocked();
}

TTree::~TTree() = default;

TNTreeData* TTree::CreateNodeUnlocked() {
  auto node = std::make_unique<TNTreeData>();
  node->ReadRecord = std::make_unique<TReadData>();
  node->DateArrayCell = std::make_unique<TDateArrayCell>();
  impl_->arena.push_back(std::move(node));
  return impl_->arena.back().get();
}

TNTreeData* TTree::CreateRootUnlocked() {
  TNTreeData* root = CreateNodeUnlocked();
  root->Name = english_ ? kRootNameEn : kRootNameRu;
  root->Path = root->Name;
  root->Serial = kRootSerial;
  root->DAVisible = true;
  root->HDAVisible = true;
  return root;
}

TNTreeData* TTree::AppendChildUnlocked(TNTreeData* parent, const std::string& name) {
  TNTreeData* child = CreateNodeUnlocked();
  child->Name = name;
  child->Parent = parent;
  child->ConnKey = parent->ConnKey;
  parent->Children.push_back(child);
  child->IndexInParent = static_cast<int32_t>(parent->Children.size() - 1);
  impl_->Invalidate();
  return child;
}

void TTree::SetRoot(TNTreeData* root) {
  RequireNode(root, "root");
  auto lock = WriteLock();
  root_ = root;
  impl_->Invalidate();
}

TNTreeData* TTree::CreateRoot() {
  auto lock = WriteLock();
  return CreateRootUnlocked();
}

TNTreeData* TTree::CreateNode() {
  auto lock = WriteLock();
  return CreateNodeUnlocked();
}

TNTreeData* TTree::AddChildNamed(TNTreeData* parent, const std::string& name) {
  RequireNode(parent, "parent");
  auto lock = WriteLock();
  TNTreeData* child = AppendChildUnlocked(parent, name);
  child->ModelCode = parent->ModelCode;
  child->DAVisible = parent->DAVisible;
  child->HDAVisible = parent->HDAVisible;
  child->Level = static_cast<uint8_t>(parent->Level + 1);
  return child;
}

TNTreeData* TTree::FindOrAddChild(TNTreeData* parent, const std::string& name) {
  RequireNode(parent, "parent");
  auto lock = WriteLock();
  for (TNTreeData* child : parent->Children)
    if (child->Name == name) return child;
  return AppendChildUnlocked(parent, name);
}

void TTree::AttachChild(TNTreeData* parent, TNTreeData* child) {
  RequireNode(parent, "parent");
  RequireNode(child, "child");
  auto lock = WriteLock();
  // A node hung below itself would make every walk endless.
  size_t depth = 0;
  for (const TNTreeData* n = parent; n && depth < kMaxDepthWalk; n = n->Parent, ++depth)
    if (n == child) throw std::invalid_argument("tree: a node cannot be attached below itself");
  parent->Children.push_back(child);
  child->Parent = parent;
  child->IndexInParent = static_cast<int32_t>(parent->Children.size() - 1);
  impl_->Invalidate();
}

void TTree::DetachChild(TNTreeData* parent, TNTreeData* child) {
  RequireNode(parent, "parent");
  auto lock = WriteLock();
  auto it = std::find(parent->Children.begin(), parent->Children.end(), child);
  if (it == parent->Children.end()) return;
  parent->Children.erase(it);
  Reindex(parent);
  impl_->Invalidate();
}

void TTree::ClearChildren(TNTreeData* node) {
  RequireNode(node, "node");
  auto lock = WriteLock();
  node->Children.clear();
  impl_->Invalidate();
}

void TTree::StructureChanged() {
  impl_->Invalidate();
}

TNTreeData* TTree::FindDevice(const TNTreeData* node) const {
  if (!node) return nullptr;
  auto lock = ReadLock();
  for (TNTreeData* device : root_->Children)
    if (device->Serial == node->Serial && device->Name == node->Name) return device;
  return nullptr;
}

bool TTree::IsInTree(const TNTreeData* node) const {
  auto lock = ReadLock();
  return IsInTreeUnlocked(node);
}

bool TTree::IsInTreeUnlocked(const TNTreeData* node) const {
  size_t depth = 0;
  for (const TNTreeData* n = node; n && depth < kMaxDepthWalk; n = n->Parent, ++depth) {
    if (n == root_) return true;
    if (!n->Parent || !IsChildOf(n, n->Parent)) return false;
  }
  return false;
}

// Handles are (generation shl 24) + pre-order position. A node that keeps its position keeps its handle.
// A node that lands on a new position gets a generation above every handle ever given out there, so a
// handle a client kept for a node that moved or went away resolves to none instead of to the node that now
// stands at its old position. A fresh tree gets generation 1 throughout.
void TTree::Renumber() {
  auto lock = WriteLock();
  std::lock_guard cacheLock(impl_->cacheMutex);
  auto& positions = impl_->positions;
  positions.clear();
  PreOrder(root_, [&](TNTreeData* node) {
    if (positions.size() < kMaxPositions) positions.push_back(node);
  });
  impl_->positionsValid = true;

  // Handles in circulation now: every node ever created here (detached ones too) and any node hung in from
  // elsewhere. Two nodes with one handle (a damaged file) both get new ones.
  auto& issued = impl_->highestGeneration;
  std::unordered_map<int32_t, const TNTreeData*> holder;
  std::unordered_set<int32_t> shared;
  auto note = [&](const TNTreeData* node) {
    uint8_t generation = Generation(node->Handle);
    if (generation == 0) return;
    auto& highest = issued[static_cast<uint32_t>(node->Handle & kPositionMask)];
    highest = std::max(highest, generation);
    auto [it, added] = holder.emplace(node->Handle, node);
    if (!added && it->second != node) shared.insert(node->Handle);
  };
  for (const auto& node : impl_->arena) note(node.get());
  for (const TNTreeData* node : positions) note(node);

  for (size_t position = 0; position < positions.size(); ++position) {
    TNTreeData* node = positions[position];
    bool stays = Generation(node->Handle) != 0 &&
                 static_cast<size_t>(node->Handle & kPositionMask) == position &&
                 !shared.contains(node->Handle);
    if (stays) continue;
    uint8_t& highest = issued[static_cast<uint32_t>(position)];
    // After 127 changes at one position the oldest handles may match again.
    highest = highest >= kMaxGeneration ? 1 : static_cast<uint8_t>(highest + 1);
    node->Handle = static_cast<int32_t>((static_cast<uint32_t>(highest) << 24) | position);
  }
}

void TTree::SetConnectionKey(TNTreeData* node, const TConnKey& key) {
  PreOrder(node, [&](TNTreeData* n) { n->ConnKey = key; });
}

void TTree::ClearGroupWorkItems(TNTreeData* node) {
  if (!node) return;
  for (TNTreeData* child : node->Children) PreOrder(child, [](TNTreeData* n) { n->GroupWorkItem = nullptr; });
}

void TTree::ShowTree(TNTreeData* node, IViewNode* parentView, IViewTree* view) {
  auto lock = WriteLock();
  std::vector<std::pair<TNTreeData*, IViewNode*>> stack;
  if (node) stack.emplace_back(node, parentView);
  while (!stack.empty()) {
    auto [n, under] = stack.back();
    stack.pop_back();
    // Paths and serials follow the names every time, so a renamed node's identifier is current even when
    // its view node already exists.
    if (n->Parent) {
      n->Path = n->Parent->Path + "." + n->Name;
      if (n->Kind != nkDevice) n->Serial = n->Parent->Serial;
    } else {
      n->Path = n->Name;
    }
    if (n->ViewNode) {
      n->ViewNode->SetCaption(n->Name);
    } else if (view) {
      n->ViewNode = view->AddNode(n->Parent ? under : nullptr, n->Name, ImageIndexForKind(n->Kind), n);
    }
    for (auto it = n->Children.rbegin(); it != n->Children.rend(); ++it)
      if (*it) stack.emplace_back(*it, n->ViewNode);
  }
  impl_->Invalidate();
}

void TTree::EnsurePositionsUnlocked() {
  if (impl_->positionsValid) return;
  impl_->positions.clear();
  PreOrder(root_, [&](TNTreeData* node) {
    if (impl_->positions.size() < kMaxPositions) impl_->positions.push_back(node);
  });
  impl_->positionsValid = true;
}

TNTreeData* TTree::NodeAtPositionUnlocked(int32_t handle) {
  EnsurePositionsUnlocked();
  size_t position = static_cast<size_t>(handle & kPositionMask);
  return position < impl_->positions.size() ? impl_->positions[position] : nullptr;
}

TNTreeData* TTree::ResolveHandle(int32_t handle) {
  auto lock = ReadLock();
  std::lock_guard cacheLock(impl_->cacheMutex);
  TNTreeData* node = NodeAtPositionUnlocked(handle);
  return node && node->Handle == handle ? node : nullptr;
}

TNTreeData* TTree::ResolveHandleDA(int32_t handle, IJournalSink* journal) {
  int32_t foundHandle = 0;
  {
    auto lock = ReadLock();
    std::lock_guard cacheLock(impl_->cacheMutex);
    TNTreeData* node = NodeAtPositionUnlocked(handle);
    if (!node) return nullptr;
    if (node->Handle == handle) return node;
    foundHandle = node->Handle;
  }
  // Journalled outside the locks: the journal may hand the line to the main thread and wait.
  std::string line = "Несовпадение" + std::to_string(handle) + "  " + std::to_string(foundHandle);
  if (journal)
    journal->Journal(line, {});
  else
    JournalLine(line);
  return nullptr;
}

TNTreeData* TTree::ResolveIdentifier(std::string_view identifier) {
  auto lock = ReadLock();
  std::lock_guard cacheLock(impl_->cacheMutex);
  if (identifier.empty() || !root_) {
    impl_->lastFound = nullptr;
    return nullptr;
  }
  // Start below the parent of the node found last when the identifier runs through that parent, so
  // lookups of siblings skip the walk over every device. The parent must still be in this tree and its
  // path must begin the identifier followed by a full stop: a mere substring ("Узел 1" inside
  // "Узел 10") would start at the wrong branch and miss nodes a walk from the root finds.
  const TNTreeData* start = root_;
  TNTreeData* last = impl_->lastFound;
  if (last && last->Parent && last->Parent != root_ && IsInTreeUnlocked(last->Parent)) {
    const std::string& parentPath = last->Parent->Path;
    if (identifier.size() > parentPath.size() && identifier.starts_with(parentPath) &&
        identifier[parentPath.size()] == '.')
      start = last->Parent;
  }

  TNTreeData* found = nullptr;
  std::span<TNTreeData* const> row;
  size_t i = 0;
  if (start == root_) {
    row = std::span<TNTreeData* const>(&root_, 1);
  } else {
    row = start->Parent->Children;
    i = static_cast<size_t>(std::find(row.begin(), row.end(), start) - row.begin());
  }
  while (i < row.size()) {
    TNTreeData* node = row[i];
    if (node && OnTheWay(node->Path, identifier)) {
      if (node->Path.size() == identifier.size()) {
        found = node;
        break;
      }
      row = node->Children;
      i = 0;
    } else {
      ++i;
    }
  }
  impl_->lastFound = found;
  return found;
}

size_t TTree::DeviceCount() const {
  auto lock = ReadLock();
  return root_ ? root_->Children.size() : 0;
}

size_t TTree::NodeCount() {
  auto lock = ReadLock();
  std::lock_guard cacheLock(impl_->cacheMutex);
  EnsurePositionsUnlocked();
  return impl_->positions.size();
}

std::string TTreeItem::DataTypeWord() const {
  if (!node_) return {};
  auto type = static_cast<int64_t>(Attribute(*node_, asDataType).Value.AsDouble());
  for (const auto& entry : kTypeWords)
    if (entry.type == type) return entry.word;
  return {};
}

std::string TTreeItem::Description() const {
  return node_ ? Attribute(*node_, asDescription).Text : std::string();
}
std::string TTreeItem::Units() const {
  return node_ ? Attribute(*node_, asUnits).Text : std::string();
}
std::string TTreeItem::Name() const {
  return node_ ? node_->Name : std::string();
}
std::string TTreeItem::Path() const {
  return node_ ? node_->Path : std::string();
}
std::string TTreeItem::LinkAddress() const {
  return node_ ? node_->ConnKey.LinkAddress : std::string();
}
int32_t TTreeItem::ArchiveStep() const {
  return node_ ? node_->ArchiveStep : 0;
}
void TTreeItem::SetArchiveStep(int32_t step) {
  if (node_) node_->ArchiveStep = step;
}

}  // namespace orvela
