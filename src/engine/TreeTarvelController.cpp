#include "engine/TreeTarvelController.h"

#include <algorithm>

#include "drivers/Families.h"
#include "engine/UReqOrder.h"
#include "links/records/LinkAddress.h"
#include "platform/JournalSink.h"

namespace orvela {
namespace {

constexpr uint8_t kAnyFamily = 255;
constexpr uint32_t kWalkDriverValue = 7;
constexpr uint8_t kNoChildrenFlag = 0x01;
// Describe kinds of the walk.
constexpr int kDescribeArchive = 1;
constexpr int kDescribeCurrent = 2;

bool HasSerialNumber(uint8_t code) {
  return code == mcTarvel2001 || code == mcTarvelF;
}

bool Walked(uint8_t code) {
  return code == mcTarvel2001 || code == mcTarvelF;
}

void PrepareDevice(TNTreeData& device) {
  if (!device.ReadRecord) device.ReadRecord = std::make_unique<TReadData>();
  if (!device.DateArrayCell) device.DateArrayCell = std::make_unique<TDateArrayCell>();
}

}  // namespace

std::string FamilyTreeName(uint8_t modelCode, bool english) {
  const TFamily* family = FindFamily(modelCode);
  if (family == nullptr) return {};
  return std::string(english ? family->en : family->ru);
}

// Holds the engine and, once a connection is named, its order's busy mark; lets both go on every path.
class TTreeTarvelController::TEngineHold {
 public:
  explicit TEngineHold(TAsyncEngine* engine) : engine_(engine) {
    if (engine_ != nullptr) engine_->InitAsync();
  }
  ~TEngineHold() {
    if (marked_ != nullptr) marked_->Busy = false;
    if (engine_ != nullptr) engine_->FinalAsync();
  }
  TEngineHold(const TEngineHold&) = delete;
  TEngineHold& operator=(const TEngineHold&) = delete;

  // The order of the key's connection, marked busy; nullptr when the engine runs no order for it.
  TConnOrder* MarkBusy(const TConnKey& key) {
    if (engine_ == nullptr) return nullptr;
    int32_t index = engine_->FindConnection(key);
    if (index < 0) return nullptr;
    TConnOrder& order = engine_->Order(static_cast<size_t>(index));
    bool idle = false;
    // Only a mark set here is cleared here: a reader already running keeps its own.
    if (order.Busy.compare_exchange_strong(idle, true)) marked_ = &order;
    return &order;
  }

 private:
  TAsyncEngine* engine_;
  TConnOrder* marked_ = nullptr;
};

TTreeTarvelController::TTreeTarvelController(TTreeController& trees, IConnectionCatalog& catalog,
                                             const TModelEnvironment& environment, TAsyncEngine* engine,
                                             ILinkOwner* owner)
    : trees_(trees),
      tree_(trees.Tree()),
      catalog_(catalog),
      environment_(environment),
      engine_(engine),
      owner_(owner) {}

void TTreeTarvelController::Progress(const std::string& text, int percent) {
  if (progress_) progress_(text, percent);
}

int TTreeTarvelController::Fail(const std::string& message) {
  trees_.Ui().Message(message, TMessageIcon::Error);
  outcome_ = kReadFailed;
  return kReadFailed;
}

TNTreeData* TTreeTarvelController::OtherWithSerial(const std::string& serial, const TNTreeData* self) const {
  auto lock = tree_.ReadLock();
  for (TNTreeData* device : tree_.Root()->Children)
    if (device != self && device != refreshing_ && device->Serial == serial) return device;
  return nullptr;
}

int TTreeTarvelController::ReadDeviceConfiguration(TNTreeData* device, int callerMode) {
  if (device == nullptr) return kReadFailed;
  cancel_ = false;
  outcome_ = kReadDone;
  TEngineHold hold(engine_);
  try {
    int outcome = ReadDevice(device, hold);
    if (outcome == kReadDone && callerMode == kCallerMenu && device->Parent != nullptr)
      tree_.ShowTree(device, device->Parent->ViewNode, nullptr);
    return outcome;
  } catch (const std::exception& e) {
    // A link or driver failure that escaped its framing: the read failed, nothing else.
    JournalLine(e.what(), device->Name);
    return Fail("Не удалось получить данные прибора");
  }
}

int TTreeTarvelController::ReadDevice(TNTreeData* device, TEngineHold& hold) {
  PrepareDevice(*device);
  JournalLine("Опрашивается устройство " + device->Name, device->ConnKey.ConnName);
  Progress("Опрашивается устройство " + device->Name, 10);
  TConnKey key = device->ConnKey;
  key.LinkAddress = BuildLinkAddress(key);

  std::unique_ptr<TDataModel> model =
      TTarvelFactory::CreateModelWithLink(device->ModelCode, key, owner_, environment_, &catalog_);
  TConnOrder* order = hold.MarkBusy(key);
  if (order != nullptr) order->LogLine("Опрос одного прибора " + key.LinkAddress);
  if (!model && catalog_.FindSettings(key) != nullptr)
    return Fail("Чтение конфигурации прибора " + device->Name + " не поддерживается");
  if (!model) return Fail("Не удалось соединиться с прибором");
  TConnectionDevice* link = model->Link();
  // The link goes back on every path before the model (which owns it) is destroyed.
  struct TRelease {
    TConnectionDevice* link;
    ~TRelease() { link->Release(); }
  } release{link};
  link->SetAddress(key.LinkAddress);
  link->SetHoldMark(false);
  link->SetOwnedByModel(true);
  if (!link->Connect()) {
    if (order != nullptr) order->LogLine("Соединиться не удалось");
    return Fail("Не удалось соединиться с прибором");
  }
  Progress("Соединение установлено", 15);

  TPribor record;
  record.Address = device->Address;
  record.ConnKey = key;
  record.ModelCode = device->ModelCode;
  record.Name = device->Name;
  model->SetDevice(&record);
  uint8_t family = 0;
  if (!model->IdentifyDevice(device->Address, family)) return Fail("Не удалось получить данные прибора");
  if (family != device->ModelCode && family != kAnyFamily)
    return Fail("Ошибка! Обнаружен прибор другого типа (" + FamilyTreeName(family, tree_.English()) + ").");
  Progress("Прибор определен", 20);

  std::string name = FamilyTreeName(device->ModelCode, tree_.English());
  if (HasSerialNumber(device->ModelCode)) {
    std::string serial;
    if (!model->ReadSerialNumber(device->Address, serial))
      return Fail("Не удалось получить серийный номер прибора");
    if (TNTreeData* other = OtherWithSerial(serial, device)) {
      if (!trees_.Ui().Ask("Прибор с таким именем уже существует (" + serial + ") ! Удалить его?")) {
        outcome_ = kReadFailed;
        return kReadFailed;
      }
      trees_.RemoveDevice(other);
    }
    record.Serial = serial;
    device->Serial = serial;
    device->Name = name + "(" + serial + ")";
    device->DAVisible = true;
    device->HDAVisible = true;
  } else {
    device->Name = name;
  }
  record.Name = device->Name;
  Progress("Чтение дерева " + device->Name, 25);

  if (Walked(device->ModelCode)) {
    if (DiscoverTree(*model, device) != kReadDone) return Fail("Не удалось прочитать дерево прибора");
  } else if (FindFamily(device->ModelCode) != nullptr) {
    model->SetTree(&tree_);
    if (!model->BuildTree(device)) return Fail("Не удалось прочитать дерево прибора");
  }
  tree_.StructureChanged();
  trees_.Renumber();
  Progress("Статус: Опрос завершен", 100);
  outcome_ = kReadDone;
  return kReadDone;
}

int TTreeTarvelController::RefreshDevice(TNTreeData* device) {
  if (device == nullptr) return kReadFailed;
  TNTreeData* scratch = tree_.CreateNode();
  {
    auto lock = tree_.ReadLock();
    scratch->Name = device->Name;
    scratch->Serial = device->Serial;
    scratch->ModelCode = device->ModelCode;
    scratch->ConnKey = device->ConnKey;
    scratch->Address = device->Address;
    scratch->Kind = device->Kind;
    scratch->Level = device->Level;
    scratch->DAVisible = device->DAVisible;
    scratch->HDAVisible = device->HDAVisible;
  }
  refreshing_ = device;
  int outcome = ReadDeviceConfiguration(scratch, kCallerMenu);
  refreshing_ = nullptr;
  if (outcome != kReadDone) return outcome;
  {
    auto lock = tree_.WriteLock();
    device->Children = std::move(scratch->Children);
    scratch->Children.clear();
    for (size_t i = 0; i < device->Children.size(); ++i) {
      device->Children[i]->Parent = device;
      device->Children[i]->IndexInParent = static_cast<int32_t>(i);
    }
    device->Name = scratch->Name;
    device->Serial = scratch->Serial;
    device->DAVisible = scratch->DAVisible;
    device->HDAVisible = scratch->HDAVisible;
    TTree::ClearGroupWorkItems(device);
  }
  tree_.StructureChanged();
  tree_.ShowTree(device, tree_.Root()->ViewNode, nullptr);
  trees_.Renumber();
  return kReadDone;
}

TNTreeData* TTreeTarvelController::MakeChild(TNTreeData* parent, uint8_t id) {
  TNTreeData* child = tree_.CreateNode();
  child->Address = id;
  child->Kind = nkSubBranch;
  child->Level = static_cast<uint8_t>(parent->Level + 1);
  child->ModelCode = parent->ModelCode;
  child->ConnKey = parent->ConnKey;
  child->DAVisible = parent->DAVisible;
  child->HDAVisible = parent->HDAVisible;
  child->DriverValue = kWalkDriverValue;
  child->DateArrayCell = std::make_unique<TDateArrayCell>();
  return child;
}

int TTreeTarvelController::DiscoverTree(TDataModel& model, TNTreeData* device) {
  walkPercent_ = 25;
  try {
    return WalkNode(model, device, TIdPath({device->Address}), 0) ? kReadDone : kReadFailed;
  } catch (const ETarvelException& e) {
    JournalLine(e.what(), device->Name);
    return kReadFailed;
  }
}

bool TTreeTarvelController::WalkNode(TDataModel& model, TNTreeData* node, const TIdPath& path, int depth) {
  if (cancel_) return false;
  // The meter says what hangs below each node; a device that lists without end must not take the stack.
  if (depth > kMaxDiscoveryDepth) {
    JournalLine("Дерево прибора глубже " + std::to_string(kMaxDiscoveryDepth) + " уровней", node->Name);
    return true;
  }
  if (depth > 0 && !model.IsKnownPath(path)) return true;
  std::vector<uint8_t> request = path.RequestPath();
  TRListData list;
  if (!model.ReadBranchList(static_cast<int>(request.size()), request, list)) return false;
  size_t count = std::min({static_cast<size_t>(std::max(list.Count, 0)), list.Ids.size(), list.Flags.size()});
  walkPercent_ = std::min(walkPercent_ + 5, 95);
  Progress("Чтение дерева " + node->Name, walkPercent_);

  bool ok = true;
  for (size_t i = 0; i < count && ok; ++i) {
    uint8_t id = list.Ids[i];
    TIdPath childPath = path.Child(id);
    if (!model.IsKnownPath(childPath)) continue;
    TNTreeData* child = MakeChild(node, id);
    std::string name;
    int kind = 0;
    model.DescribeNode(childPath, *child, name, kind);
    int copies =
        static_cast<int>(std::count(list.Ids.begin(), list.Ids.begin() + static_cast<std::ptrdiff_t>(i), id));
    if (copies > 0) name += " (копия " + std::to_string(copies) + ")";
    if (!child->DAVisible && !child->HDAVisible) continue;
    child->Name = name;
    tree_.AttachChild(node, child);
    if (child->HDAVisible && kind == kDescribeArchive) AddParameterLeaves(child, lmArchive);
    if (child->HDAVisible && kind == kDescribeCurrent) AddParameterLeaves(child, lmArchiveNoValue);
    if (child->DAVisible && kind == kDescribeCurrent) AddParameterLeaves(child, lmCurrent);
    if ((list.Flags[i] & kNoChildrenFlag) == 0) ok = WalkNode(model, child, childPath, depth + 1);
  }
  return ok;
}

std::unique_ptr<TDataModel> TTreeTarvelController::FamilyModel(uint8_t code, const TConnKey& key,
                                                               TConnectionDevice* link) {
  std::unique_ptr<TDataModel> model =
      TTarvelFactory::CreateModel(code, key, owner_, link, environment_, &catalog_);
  if (model) return model;
  const TFamily* family = FindFamily(code);
  if (family == nullptr || family->serialReader == nullptr) return nullptr;
  std::unique_ptr<TProtocol> framing = TTarvelFactory::CreateFraming(key.ProtType, owner_);
  if (!framing) return nullptr;
  model = family->serialReader(std::move(framing), owner_, link);
  model->SetEnvironment(environment_);
  return model;
}

size_t TTreeTarvelController::AutoConfigure(const std::vector<TConnKey>& connections) {
  cancel_ = false;
  JournalLine("Начат опрос устройств");
  Progress("Состояние : Автоконфигурирование", 0);
  size_t added = 0;
  for (const TConnKey& connection : connections) {
    if (cancel_) break;
    TConnKey key = connection;
    key.LinkAddress = BuildLinkAddress(key);
    TEngineHold hold(engine_);
    hold.MarkBusy(key);
    try {
      ScanConnection(key, added);
    } catch (const std::exception& e) {
      JournalLine(e.what(), key.ConnName);
    }
    trees_.Ui().StatusPanel("");
  }
  Progress("Статус: конфигурирование завершено", 100);
  return added;
}

bool TTreeTarvelController::ScanConnection(const TConnKey& key, size_t& added) {
  std::unique_ptr<TConnectionDevice> link = TTarvelFactory::CreateLink(key, owner_, &catalog_);
  if (!link) {
    JournalLine("Соединение не найдено", key.ConnName);
    return false;
  }
  struct TRelease {
    TConnectionDevice* link;
    ~TRelease() { link->Release(); }
  } release{link.get()};
  link->SetHoldMark(false);
  link->SetOwnedByModel(false);
  if (!link->SetAddress(key.LinkAddress)) {
    JournalLine("Неверный адрес соединения " + key.LinkAddress, key.ConnName);
    return false;
  }
  std::unique_ptr<TDataModel> scan =
      TTarvelFactory::CreateScanModel(key.ProtType, link.get(), owner_, environment_);
  if (!scan) {
    JournalLine("Протокол соединения не поддерживает поиск приборов", key.ConnName);
    return false;
  }
  TRListData list;
  if (!scan->ReadDeviceList(list)) list = {};
  size_t count = std::min(static_cast<size_t>(std::max(list.Count, 0)), list.Ids.size());
  JournalLine("Найдено " + std::to_string(count) + " устройств ", "Опрос");

  for (size_t i = 0; i < count && !cancel_; ++i) {
    uint8_t address = list.Ids[i];
    Progress("Опрос устройства " + std::to_string(i + 1), static_cast<int>(100 * i / count));
    uint8_t code = 0;
    // A meter that does not answer costs only itself: the rest of the line is still scanned.
    if (!scan->IdentifyDevice(address, code) || FindFamily(code) == nullptr) {
      JournalLine("Устройство " + std::to_string(address) + " не ответило", key.ConnName);
      continue;
    }
    std::unique_ptr<TDataModel> model = FamilyModel(code, key, link.get());
    std::string serial;
    TPribor record;
    record.Address = address;
    record.ConnKey = key;
    record.ModelCode = code;
    if (model) model->SetDevice(&record);
    if (!model || !model->ReadSerialNumber(address, serial)) {
      JournalLine("Устройство " + std::to_string(address) + ": серийный номер не прочитан", key.ConnName);
      continue;
    }
    if (trees_.HasSerial(serial)) continue;
    std::string name = FamilyTreeName(code, tree_.English()) + "(" + serial + ")";
    trees_.Ui().StatusPanel("Опрашивается " + name);
    Progress("Найдено устройство " + name, -1);

    TNTreeData* newRoot = tree_.CreateNode();
    TNTreeData* device = tree_.CreateNode();
    device->Name = name;
    device->Serial = serial;
    device->ModelCode = code;
    device->Kind = nkDevice;
    device->Address = address;
    device->ConnKey = key;
    device->DAVisible = true;
    device->HDAVisible = true;
    PrepareDevice(*device);
    record.Serial = serial;
    record.Name = name;
    tree_.AttachChild(newRoot, device);
    if (Walked(code) && DiscoverTree(*model, device) != kReadDone) {
      // Half a device would keep its serial from the next scan: it is not added.
      JournalLine("Не удалось прочитать дерево прибора " + name, key.ConnName);
      continue;
    }
    added += trees_.MergeDevices(newRoot, false);
  }
  return true;
}

}  // namespace orvela
