#pragma once
// The device tree: root, devices, branches and parameters. A node's dotted path is its OPC item
// identifier and its handle the server handle both OPC sides hand out.
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "links/records/ConnRecords.h"
#include "platform/Clock.h"
#include "platform/Variant.h"
#include "platform/com/WinTypes.h"

namespace orvela {

struct TPrbArray;  // driver result record (drivers/DataModel.h)
class IJournalSink;

// Node kinds.
enum TNodeKind : uint8_t {
  nkRoot = 0,
  nkDevice = 1,
  nkBranch = 2,
  nkSubBranch = 3,
  nkParameter = 4,
  nkGroupedParameter = 5,
};

// Device families (model codes).
enum TModelCode : uint8_t {
  mcTarvelM = 1,
  mcTarvel2001 = 2,
  mcTarvelF = 3,
  mcOrlix = 4,
  mcZelio = 5,
  mcModBus = 6,
  mcTarvelKompakt = 7,
  mcCE6822 = 8,
  mcIntelekon = 9,
  mcNeyron = 10,
  mcTarvel307 = 12,
  mcNotReadable = 44,
};

constexpr int kAttributeCount = 6;
constexpr int32_t kHandleGeneration = 1 << 24;
constexpr const char* kRootNameRu = "Устройства";
constexpr const char* kRootNameEn = "Device";
constexpr const char* kRootSerial = "00000000";

struct TAttribRec {
  int32_t Id = 0;
  TVariant Value;
  SYSTEMTIME Time{};  // UTC, when the record was built
  std::string Text;   // the value as text when it is a string, at most 255 characters
  friend bool operator==(const TAttribRec&, const TAttribRec&) = default;
};

// An attribute record stamped with the clock's current UTC time.
TAttribRec BuildAttribute(int32_t id, const TVariant& value, const Clock& clock = SystemClock());

// The six attribute slots of a node; each holds one item attribute, whose identifier kAttributeIds gives.
enum TAttributeSlot : uint8_t {
  asDataType,  // the parameter's variant type code as a number
  asDescription,
  asUnits,
  asNodeName,  // the computer's network name
  asSourceType,
  asItemId,
};
constexpr std::array<int32_t, kAttributeCount> kAttributeIds = {1, 2, 3, 7, 10, 13};

// Data type of a parameter shown as text records (the error archives); outside the variant type codes,
// which give every other data type.
constexpr int32_t kDataTypeString = 0x100;

struct TReadData {
  std::string Text1;
  std::string Text2;
};

// Driver caches of an archive branch: [0] the current date array, [1] 12 and [2] the group's update rate
// once a DA refresh is queued.
struct TDateArrayCell {
  std::shared_ptr<TPrbArray> DateArray;
  int32_t RefreshMark = 0;
  int32_t UpdateRate = 0;
};

// The visual tree the operator window shows; headless runs use none.
class IViewNode {
 public:
  virtual ~IViewNode() = default;
  virtual void SetCaption(const std::string& caption) = 0;
};
class IViewTree {
 public:
  virtual ~IViewTree() = default;
  // Appends a view node under parent (nullptr: top level) that points back at data.
  virtual IViewNode* AddNode(IViewNode* parent, const std::string& caption, int imageIndex,
                             struct TNTreeData* data) = 0;
  virtual void DeleteNode(IViewNode* node) = 0;
};

struct TNTreeData {
  uint8_t Level = 0;
  uint8_t Address = 0;
  TConnKey ConnKey;
  std::string Name;
  std::string Path;
  std::string Serial;
  int32_t Handle = 0;
  int32_t ClientHandle = 0;
  uint16_t AccessMode = 0;
  uint32_t DriverValue = 0;
  uint8_t ModelCode = 0;
  uint8_t Kind = 0;
  int32_t DriverNumber = 0;
  std::array<TAttribRec, kAttributeCount> Attributes{};
  int32_t ArchiveStep = 0;
  bool DAVisible = false;
  bool HDAVisible = false;
  int32_t StoredChildCount = 0;
  std::vector<TNTreeData*> Children;  // owned by the tree's arena
  std::unique_ptr<TReadData> ReadRecord;
  TNTreeData* Parent = nullptr;
  void* GroupWorkItem = nullptr;  // the connection order's pending group work item
  int32_t IndexInParent = 0;
  std::unique_ptr<TDateArrayCell> DateArrayCell;
  IViewNode* ViewNode = nullptr;
};

// Fills a slot with its attribute identifier and the value, stamped with the clock's UTC time.
void SetAttribute(TNTreeData& node, TAttributeSlot slot, const TVariant& value,
                  const Clock& clock = SystemClock());
inline const TAttribRec& Attribute(const TNTreeData& node, TAttributeSlot slot) {
  return node.Attributes[slot];
}
// Describes a parameter node: data type (a variant type code or kDataTypeString), description, units.
void DescribeParameterNode(TNTreeData& node, int32_t dataType, const std::string& description,
                           const std::string& units, const Clock& clock = SystemClock());

// Image index of a node kind in the tree view.
int ImageIndexForKind(uint8_t kind);

// The tree owns every node it ever created (an arena): nodes are never freed one by one while the server
// runs, because queued tasks keep plain links to them; detached nodes live until the tree goes.
//
// Lock policy: structural changes (create, attach, detach, clear, renumber, load, show) happen under the
// exclusive lock; worker threads that read node fields or resolve handles hold the shared lock
// (ReadLock). The structural methods below take the exclusive lock themselves and the resolution methods
// the shared one; the lock is not recursive, so call none of them while holding ReadLock or WriteLock.
// WriteLock is for code that changes fields of attached nodes directly. A loader builds a new tree from
// unattached nodes without the lock and installs it with SetRoot.
class TTree {
 public:
  explicit TTree(bool english = false);
  ~TTree();
  TTree(const TTree&) = delete;
  TTree& operator=(const TTree&) = delete;

  TNTreeData* Root() const { return root_; }
  // Replaces the root (the loader builds a new tree); the old nodes stay alive in the arena.
  void SetRoot(TNTreeData* root);
  // Makes a fresh root with the naming of the current mode; SetRoot installs it. A new tree starts with
  // one such root installed.
  TNTreeData* CreateRoot();
  bool English() const { return english_; }

  TNTreeData* CreateNode();
  TNTreeData* AddChildNamed(TNTreeData* parent, const std::string& name);
  TNTreeData* FindOrAddChild(TNTreeData* parent, const std::string& name);
  void AttachChild(TNTreeData* parent, TNTreeData* child);
  void DetachChild(TNTreeData* parent, TNTreeData* child);
  void ClearChildren(TNTreeData* node);
  TNTreeData* FindDevice(const TNTreeData* node) const;
  // Handles are (generation shl 24) + pre-order position. A node that keeps its position keeps its
  // handle; one that moved gets a higher generation, so handles clients kept for moved or removed nodes
  // resolve to none. A fresh tree is numbered with generation 1.
  void Renumber();
  static void SetConnectionKey(TNTreeData* node, const TConnKey& key);
  static void ClearGroupWorkItems(TNTreeData* node);
  // Builds or renames the visual tree and sets paths; view may be nullptr (paths only).
  void ShowTree(TNTreeData* node, IViewNode* parentView, IViewTree* view);

  // Code that edits child lists directly (not through the methods above) calls this afterwards, so that
  // handle positions and the identifier cache are rebuilt.
  void StructureChanged();
  // Whether the node hangs below the current root (detached nodes stay alive but are not in the tree).
  bool IsInTree(const TNTreeData* node) const;

  TNTreeData* ResolveHandle(int32_t handle);
  // The DA variant journals a stale handle as "Несовпадение"; journal nullptr uses the process-wide sink.
  TNTreeData* ResolveHandleDA(int32_t handle, IJournalSink* journal);
  TNTreeData* ResolveIdentifier(std::string_view identifier);

  size_t DeviceCount() const;
  size_t NodeCount();
  std::shared_lock<std::shared_mutex> ReadLock() const { return std::shared_lock(mutex_); }
  std::unique_lock<std::shared_mutex> WriteLock() { return std::unique_lock(mutex_); }

 private:
  // Implementation details belong to TreeItem.cpp.
  struct Impl;
  // Helpers for callers that already hold the tree lock.
  TNTreeData* CreateNodeUnlocked();
  TNTreeData* CreateRootUnlocked();
  TNTreeData* AppendChildUnlocked(TNTreeData* parent, const std::string& name);
  bool IsInTreeUnlocked(const TNTreeData* node) const;
  // These also need Impl's cache mutex.
  void EnsurePositionsUnlocked();
  TNTreeData* NodeAtPositionUnlocked(int32_t handle);

  std::unique_ptr<Impl> impl_;
  TNTreeData* root_ = nullptr;
  bool english_ = false;
  mutable std::shared_mutex mutex_;
};

// Read-only view of one node for the item-properties window.
class TTreeItem {
 public:
  explicit TTreeItem(TNTreeData* node) : node_(node) {}
  std::string DataTypeWord() const;
  std::string Description() const;
  std::string Units() const;
  std::string Name() const;
  std::string Path() const;
  std::string LinkAddress() const;
  int32_t ArchiveStep() const;
  void SetArchiveStep(int32_t step);

 private:
  TNTreeData* node_;
};

}  // namespace orvela
