// The Tarvel M builds its device's tree itself: it walks the meter's subsystems, their branches and their
// parameters and hangs them either as the meter has them (subsystems at the top) or by archive (each
// archive at the top with the subsystems that have it below).
#include <algorithm>
#include <map>

#include "drivers/TarvelM.h"
#include "drivers/TarvelMNodes.h"
#include "tree/TreeController.h"

namespace orvela {
namespace {

constexpr const char* kHoursName = "Наработка в часах";

}  // namespace

class TMTreeWalk {
 public:
  TMTreeWalk(TTarvelM& model, ITreeBuilder& builder, TNTreeData* device)
      : model_(model),
        builder_(builder),
        device_(device),
        systemsOnTop_(model.settings_.TarvelMTreeLayout == 1),
        records_(model.RecordMode()) {}

  bool Tarvel011() const { return tarvel011_; }

  void Run() {
    model_.Trace("Запрос архивов для: Тарвел-М");
    TRListData top = Children({});
    for (size_t i = 0; i < top.Ids.size(); ++i) AddLevel1(top.Ids[i]);
    RemoveEmpty();
  }

 private:
  uint8_t Address() const { return device_->Address; }

  TRListData Children(std::initializer_list<uint8_t> ids) {
    std::vector<uint8_t> path = TIdPath::Of(Address(), ids).RequestPath();
    TRListData list;
    if (!model_.ReadBranchList(static_cast<int>(path.size()), path, list)) return {};
    list.Ids.resize(std::min<size_t>(std::max(list.Count, 0), list.Ids.size()));
    return list;
  }

  TNTreeData* NewNode(uint8_t id, uint8_t level, uint8_t kind) {
    TNTreeData* node = builder_.CreateNode();
    node->Address = id;
    node->Level = level;
    node->Kind = kind;
    node->ModelCode = device_->ModelCode;
    node->ConnKey = device_->ConnKey;
    node->DateArrayCell = std::make_unique<TDateArrayCell>();
    return node;
  }

  std::string Describe(TNTreeData* node, const TIdPath& path, int& kind) {
    std::string name;
    model_.DescribeNode(path, *node, name, kind);
    return name;
  }

  void AddLevel1(uint8_t id1) {
    TNTreeData* level1 = NewNode(id1, static_cast<uint8_t>(device_->Level + 1), nkSubBranch);
    if (id1 == tmTarvel011) {
      tarvel011_ = true;
      model_.Trace("Найдена ветка $88 - значит это тарвел 011");
    }
    int kind = 0;
    if (Describe(level1, TIdPath({id1, Address()}), kind).empty()) return;
    bool timer = id1 == tmTimer;
    // The timer has no archives: it stays at the top in both layouts.
    if (systemsOnTop_ || timer) builder_.AttachChild(device_, level1);
    model_.Trace("Запрос подсистем для: " + level1->Name);
    TRListData branches = Children({id1});
    for (uint8_t id2 : branches.Ids) AddLevel2(level1, id2, timer);
  }

  void AddLevel2(TNTreeData* level1, uint8_t id2, bool timer) {
    TNTreeData* level2 = NewNode(id2, static_cast<uint8_t>(level1->Level + 1), nkSubBranch);
    int kind = 0;
    if (Describe(level2, TIdPath({id2, level1->Address, Address()}), kind).empty()) return;
    if (timer) {
      builder_.AttachChild(level1, level2);
      return;
    }
    TNTreeData* holder = level2;
    TNTreeData* group = level2;  // removed again when it gets nothing worth reading
    if (systemsOnTop_) {
      builder_.AttachChild(level1, level2);
    } else {
      model_.Trace("Поиск ветки архива: " + level1->Name);
      group = ArchiveNode(*level2);
      holder = NewNode(level1->Address, static_cast<uint8_t>(group->Level + 1), nkParameter);
      holder->Name = level1->Name;
      holder->DAVisible = level1->DAVisible && level2->DAVisible;
      holder->HDAVisible = level1->HDAVisible && level2->HDAVisible;
    }
    model_.Trace("Запрос параметров для: " + level2->Name);
    AddParameters(level1->Address, id2, holder, group);
  }

  // The archive node of this name under the device, made from the first branch that has it.
  TNTreeData* ArchiveNode(const TNTreeData& branch) {
    for (TNTreeData* child : device_->Children)
      if (child->Name == branch.Name && archives_.contains(child)) return child;
    TNTreeData* archive = NewNode(branch.Address, static_cast<uint8_t>(device_->Level + 1), branch.Kind);
    archive->Name = branch.Name;
    archive->DAVisible = branch.DAVisible;
    archive->HDAVisible = branch.HDAVisible;
    archive->ArchiveStep = branch.ArchiveStep;
    builder_.AttachChild(device_, archive);
    archives_[archive] = false;
    return archive;
  }

  void AddParameters(uint8_t top, uint8_t branch, TNTreeData* holder, TNTreeData* group) {
    if (systemsOnTop_) archives_.try_emplace(group, false);
    TRListData list = Children({top, branch});
    bool onlyHours =
        std::all_of(list.Ids.begin(), list.Ids.end(), [](uint8_t id) { return id == tmHoursParameter; });
    if (onlyHours) return;
    bool named = false;
    for (uint8_t id : list.Ids) {
      if (id == tmHoursParameter) continue;
      TNTreeData scratch;
      int kind = 0;
      named = !Describe(&scratch, TIdPath({id, branch, top, Address()}), kind).empty() || named;
      model_.Trace("Для добавления подсистемы: " + holder->Name + " в " + group->Name + " |");
    }
    if (!named) return;
    if (holder != group) builder_.AttachChild(group, holder);
    for (size_t i = 0; i < list.Ids.size(); ++i) AddParameter(list.Ids, i, top, branch, holder, group);
  }

  void AddParameter(const std::vector<uint8_t>& ids, size_t i, uint8_t top, uint8_t branch,
                    TNTreeData* holder, TNTreeData* group) {
    uint8_t id = ids[i];
    TNTreeData* parameter = NewNode(id, static_cast<uint8_t>(holder->Level + 1), nkParameter);
    int kind = 0;
    std::string name = Describe(parameter, TIdPath({id, branch, top, Address()}), kind);
    if (name.empty()) return;
    auto copies = std::count(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(i), id);
    if (copies > 0) name += " (копия " + std::to_string(copies) + ")";
    parameter->Name = name;
    // Current values are read a branch at a time; archives too in record mode.
    bool grouped = kind == kDescribeMCurrentParameter || records_;
    parameter->Kind = grouped ? nkGroupedParameter : nkParameter;
    builder_.AttachChild(holder, parameter);
    model_.Trace("добавление параметра: " + name + " в " + holder->Name);
    if (parameter->HDAVisible && kind == kDescribeMErrorParameter)
      builder_.AddParameterLeaves(parameter, lmArchive);
    else if (parameter->HDAVisible && kind == kDescribeMCurrentParameter)
      builder_.AddParameterLeaves(parameter, lmArchiveNoValue);
    else if (kind == kDescribeMCurrentParameter)
      builder_.AddParameterLeaves(parameter, lmCurrent);
    if (id != tmHoursParameter) archives_[group] = true;
  }

  // Groups that received nothing but operating hours go again, and subsystems left empty with them.
  void RemoveEmpty() {
    for (auto [group, worth] : archives_) {
      if (worth && !group->Children.empty()) continue;
      if (group->Parent != nullptr) builder_.DetachChild(group->Parent, group);
    }
    if (!systemsOnTop_) return;
    std::vector<TNTreeData*> empty;
    for (TNTreeData* child : device_->Children)
      if (child->Children.empty()) empty.push_back(child);
    for (TNTreeData* child : empty) builder_.DetachChild(device_, child);
  }

  TTarvelM& model_;
  ITreeBuilder& builder_;
  TNTreeData* device_;
  bool systemsOnTop_;
  bool records_;
  bool tarvel011_ = false;
  std::map<TNTreeData*, bool> archives_;  // groups that may go again, and whether they hold a parameter
};

bool TTarvelM::BuildTree(TNTreeData* device) {
  if (device == nullptr || treeBuilder_ == nullptr) return false;
  std::string serial;
  if (!ReadSerialNumber(device->Address, serial)) {
    treeBuilder_->ErrorMessage("Прибор недоступен. Проверьте настройки");
    return false;
  }
  device->Name = "ТАРВЕЛ M  (" + serial + ")";
  device->Serial = serial;
  device->Kind = nkDevice;
  if (treeBuilder_->SerialTaken(serial, device)) return false;
  TMTreeWalk walk(*this, *treeBuilder_, device);
  try {
    walk.Run();
  } catch (const ETarvelException& e) {
    // A meter that stops answering half-way leaves no half tree to be taken for the whole.
    Trace(e.what());
    return false;
  }
  device->Name = std::string(walk.Tarvel011() ? "ТАРВЕЛ 011  (" : "ТАРВЕЛ М  (") + serial + ")";
  return true;
}

}  // namespace orvela
