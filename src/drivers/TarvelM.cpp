#include "drivers/TarvelM.h"

#include <algorithm>

#include "drivers/Tarvel2001Nodes.h"
#include "drivers/TarvelMNodes.h"
#include "drivers/WorkItem.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

constexpr uint8_t kFunctionBlock = 0x42;
constexpr uint8_t kFunctionData = 0x4A;
constexpr uint8_t kSerialBranch = 0x48;
constexpr uint8_t kDateColumn = 14;
constexpr uint8_t kWholeRecord = 255;
constexpr uint8_t kPollValue = 0x11;
constexpr uint8_t kRecordsAsked = 0xF0;
constexpr int64_t kArchiveRetryPauseMs = 1000;
constexpr int kArchivePasses = 3;

// Index of a child in its parent's list; the list's size when it is not there.
size_t ChildIndex(const TNTreeData* parent, const TNTreeData* child) {
  const auto& children = parent->Children;
  return static_cast<size_t>(std::find(children.begin(), children.end(), child) - children.begin());
}

}  // namespace

TTarvelM::TTarvelM(std::unique_ptr<TProtocol> framing, ILinkOwner* owner, TConnectionDevice* link)
    : TTarvelDataModel(std::move(framing), owner, link) {
  serialBranch_ = kSerialBranch;
}

void TTarvelM::DescribeNode(const TIdPath& path, TNTreeData& node, std::string& name, int& kind) {
  name = DescribeTarvelMNode(path, english_, node, kind);
  Trace("определение: " + name);
}

bool TTarvelM::ReadBranchList(int length, std::span<const uint8_t> path, TRListData& list) {
  AskBranchList(length, path, list, settings_.ChannelLog ? "ТАРВЕЛ-М - запрос дерева" : "");
  for (int32_t i = 0; i < list.Count; ++i)
    if (list.Ids[i] == 26 && list.Flags[i] == 26) return false;
  return true;
}

bool TTarvelM::ReadDeviceClock(uint8_t address, TDateTime& time) {
  return AskDeviceClock(TIdPath::Of(address, {tmTimer, tidCurrent}), time);
}

void TTarvelM::PollDevice(uint8_t address) {
  AskDevice({.Function = kFunctionData, .Payload = {4, 3, address, tmTimer, kPollValue, 0}, .Attempts = 1});
}

bool TTarvelM::ReadCurrent(TPrbArray& result, TNTreeData* node, int mode) {
  if (node == nullptr) return false;
  TIdPath path = TIdPath::FromNode(node);
  if (path.Id(1) == tmTimer) return ReadTimerAt(path.Id(2), path.Id(0), DataTypeOf(node), result, mode);
  if (path.Depth() == 2) return FetchBranchCurrent(node, result);
  if (path.Depth() != 3 || node->Parent == nullptr) return false;
  // One parameter: its branch is read and the parameter's own entry answered.
  TPrbArray branch;
  bool ok = FetchBranchCurrent(node->Parent, branch);
  size_t index = ChildIndex(node->Parent, node);
  if (!ok || index >= branch.Items.size() || branch.Items[index].Count != 1) {
    result.ValueQuality = ok ? kQualityDeviceFailure : branch.ValueQuality;
    return false;
  }
  result = std::move(branch.Items[index]);
  return true;
}

bool TTarvelM::ReadCurrentAt(uint8_t, uint8_t, int, TPrbArray&, int, uint8_t, uint8_t) {
  return false;  // ReadCurrent reads by the node itself
}

bool TTarvelM::ReadTimerAt(uint8_t address, uint8_t valueId, int dataType, TPrbArray& result, int mode) {
  return FetchTimer(address, valueId, dataType, result, mode);
}

bool TTarvelM::FetchTimer(uint8_t address, uint8_t valueId, int, TPrbArray& result, int) {
  return AskTimerValue(TIdPath::Of(address, {tmTimer, valueId}), valueId, result);
}

std::vector<size_t> TTarvelM::WantedChildren(const TNTreeData* branchNode) const {
  std::vector<size_t> wanted;
  if (workItem_ != nullptr && workItem_->Shape == kWorkGroup && workItem_->Node == branchNode) {
    for (const auto& sub : workItem_->SubItems) {
      // A sub-item may be a leaf below a parameter: the parameter is the branch's child.
      const TNTreeData* node = sub->Node;
      while (node != nullptr && node->Parent != branchNode) node = node->Parent;
      if (node != nullptr) wanted.push_back(ChildIndex(branchNode, node));
    }
    return wanted;
  }
  for (size_t i = 0; i < branchNode->Children.size(); ++i) wanted.push_back(i);
  return wanted;
}

bool TTarvelM::FetchBranchCurrent(TNTreeData* branchNode, TPrbArray& result) {
  TIdPath path = TIdPath::FromNode(branchNode);
  TMBranchIds ids = OrderBranchIds(path.Id(0), path.Id(1));
  std::vector<size_t> wanted = WantedChildren(branchNode);
  size_t children = branchNode->Children.size();
  TPrbArray decoded;
  TDeviceReply reply = AskDevice(
      {.Function = kFunctionBlock,
       .Payload = {4, 3, path.Id(2), ids.subsystem, ids.branch, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 1},
       .Accept =
           [&](const TAnswer& answer) {
             return answer.Code() == kAnswerMBlock && DecodeMCurrent(answer, children, wanted, decoded);
           },
       .PortFailureAttempts = 2});
  result.Count = 0;
  if (!reply.Connected()) {
    result.ValueQuality = kQualityNotConnected;
    return false;
  }
  if (!reply.Accepted) {
    result.ValueQuality =
        framing_->ResultCode() == kResultPortFailure ? kQualityNotConnected : kQualityDeviceFailure;
    return false;
  }
  for (size_t i : wanted)
    if (i < decoded.Items.size() && decoded.Items[i].Items.size() == 2)
      Trace("Разбор текущих: " + std::to_string(i + 6) + "  " +
            Hex2(static_cast<uint8_t>(decoded.Items[i].Items[1].Value.AsDouble())) + "  " +
            std::to_string(decoded.Items[i].Items[0].Value.AsDouble()));
  result = std::move(decoded);
  return true;
}

bool TTarvelM::SendArchiveRequestFrom(uint8_t address, uint8_t subsystem, uint8_t branch, uint8_t parameter,
                                      TDateTime from) {
  uint8_t k = parameter == kWholeRecord ? 4 : 5;
  auto hour = static_cast<uint8_t>(DateTimeToSystemTime(from).wHour);
  TDeviceReply reply = AskDevice(
      {.Function = kFunctionBlock,
       .Payload = {k, 3, address, subsystem, branch, parameter, 0xFF, 0, 0xFF, hour, 0, kRecordsAsked},
       .Accept = [](const TAnswer& answer) { return answer.Code() == kAnswerMBlock; },
       .RetryPauseMs = kArchiveRetryPauseMs,
       .StatusBefore = "Чтение HDA - Transmit 1",
       .StatusAfter = "Чтение HDA - Transmit 2"});
  return reply.Accepted;
}

TMArchiveContext TTarvelM::ArchiveContext(uint8_t archive, bool operative) const {
  TMArchiveContext context{.archive = archive, .operative = operative, .now = GetClock().Now()};
  if (device_ != nullptr && device_->TimeRead) {
    context.clockKnown = true;
    context.deviceTime = context.now - device_->LastClockRead + device_->DeviceTime;
  }
  return context;
}

bool TTarvelM::ReadArchiveAt(uint8_t, uint8_t, TNTreeData* node, TPrbArray& result, TDateTime from, uint8_t,
                             uint8_t) {
  if (ShuttingDown() || node == nullptr) return false;
  TIdPath path = TIdPath::FromNode(node);
  if (path.Depth() == 2) {
    TMBranchIds ids = OrderBranchIds(path.Id(0), path.Id(1));
    return FetchArchive(path.Id(2), ids.branch, 0, node, result, from, kWholeRecord, ids.subsystem);
  }
  if (path.Depth() != 3) return false;
  TMBranchIds ids = OrderBranchIds(path.Id(1), path.Id(2));
  // The dates live for this read only: the value column is stamped against them at once.
  currentDates_ = std::make_shared<TPrbArray>();
  if (!FetchArchive(path.Id(3), ids.branch, 0, node, *currentDates_, from, kDateColumn, ids.subsystem))
    return false;
  return FetchArchive(path.Id(3), ids.branch, 0, node, result, from, path.Id(0), ids.subsystem);
}

bool TTarvelM::FetchArchive(uint8_t address, uint8_t archive, uint8_t, TNTreeData* node, TPrbArray& result,
                            TDateTime from, uint8_t parameter, uint8_t subsystem) {
  bool records = parameter == kWholeRecord;
  bool errorArchive = records ? (archive == tidHoursErrors || archive == tidDaysErrors)
                              : DataTypeOf(node) == kDataTypeMErrorRecord;
  TMArchiveContext context = ArchiveContext(archive, subsystem == tmOperative);
  for (int pass = 1; pass <= kArchivePasses; ++pass) {
    dates_ = {};
    if (pass > 1) scratch_.clear();
    Trace(records ? "Тарвел-М - запрос архива прибора целиком"
                  : "Тарвел-М - запрос архива прибора по параметрам " + std::to_string(parameter));
    if (!SendArchiveRequestFrom(address, subsystem, archive, parameter, from)) {
      Trace("Тарвел-М - запрос архива не прошел - выходим");
      return false;
    }
    Trace("Тарвел-М - запрос архива - распозначание ответа");
    TAnswer reply = Answer();
    size_t offset = MBlockOffset(reply);
    bool ok = false;
    if (parameter == kDateColumn) {
      ok = DecodeMDates(reply, offset, errorArchive, context, result, dates_);
    } else if (records) {
      Trace("Тарвел-М - запрос архива - " + Hex2(archive));
      ok = DecodeMRecords(reply, offset, node->Children.size(), errorArchive, context, result, dates_);
      Trace("Тарвел-М - архив разобран - " + Hex2(archive));
    } else {
      Trace("Тарвел-М - запрос архива - разбор архива");
      ok = currentDates_ && DecodeMParameter(reply, offset, *currentDates_, errorArchive, result);
    }
    if (!ok) {
      HandOverLogLine("Ошибка ТАРВЕЛ-М (Ф-" + DeviceName() + "): " + DumpAnswer());
      return false;
    }
    if (!dates_.bad) return true;
    // Records with bad dates stay marked bad (no time, bad quality) unless a new pass brings good ones.
    HandOverLogLine("Неправильная дата  [Index:" + std::to_string(dates_.position + offset) + " " +
                    dates_.text + " ] повтор " + std::to_string(pass));
    if (!settings_.RerequestOnWrongDate) return true;
  }
  return true;
}

}  // namespace orvela
