#include "drivers/Tarvel2001.h"

#include <cmath>

#include "drivers/Tarvel2001Nodes.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

constexpr uint8_t kFunctionData = 0x4A;
constexpr size_t kNormalArchiveOffset = 12;  // where the data block starts after a five-id path
constexpr uint8_t kFiveIdPathLength = 5;
constexpr uint8_t kSpareArchive = 3;
constexpr const char* kWrongAnswerPrefix = "Ошибка ТАРВЕЛ2001 (Ф-";

// Bytes N, N+1 and N+2 of an answer for the archive traces.
std::string BlockBytes(const TAnswer& answer, size_t offset) {
  return Hex2(answer.At(offset)) + "  " + Hex2(answer.At(offset + 1)) + "  " + Hex2(answer.At(offset + 2));
}

TDateArrayCell* DateCellOf(TNTreeData* node) {
  if (node == nullptr || node->Parent == nullptr) return nullptr;
  if (!node->Parent->DateArrayCell) node->Parent->DateArrayCell = std::make_unique<TDateArrayCell>();
  return node->Parent->DateArrayCell.get();
}

}  // namespace

void TTarvel2001::DescribeNode(const TIdPath& path, TNTreeData& node, std::string& name, int& kind) {
  name = DescribeTarvel2001Node(path, english_, node, kind);
}

bool TTarvel2001::ReadBranchList(int length, std::span<const uint8_t> path, TRListData& list) {
  return AskBranchList(length, path, list, "ТАРВЕЛ-2001 - запрос дерева");
}

bool TTarvel2001::ReadDeviceClock(uint8_t address, TDateTime& time) {
  return AskDeviceClock(TIdPath::Of(address, {tidTimer, tidCurrent}), time);
}

bool TTarvel2001::ReadArchiveAt(uint8_t address, uint8_t archive, TNTreeData* node, TPrbArray& result,
                                TDateTime from, uint8_t parameter, uint8_t branch) {
  if (ShuttingDown()) return false;
  return FetchArchive(address, archive, kSpareArchive, node, result, from, parameter, branch);
}

bool TTarvel2001::ReadCurrentAt(uint8_t address, uint8_t branch, int dataType, TPrbArray& result, int mode,
                                uint8_t parameter, uint8_t firstLevel) {
  return FetchCurrent(address, branch, dataType, result, mode, parameter, firstLevel);
}

bool TTarvel2001::ReadTimerAt(uint8_t address, uint8_t valueId, int dataType, TPrbArray& result, int mode) {
  return FetchTimer(address, valueId, dataType, result, mode);
}

bool TTarvel2001::SendArchiveRequest(uint8_t address, uint8_t archive, TBytes& buffer, uint8_t parameter,
                                     uint8_t branch) {
  TDeviceReply reply =
      AskDevice({.Function = kFunctionData,
                 .Payload = TIdPath::Of(address, {branch, archive, parameter}).RequestPath(),
                 .Accept = [](const TAnswer& answer) { return answer.Code() == kAnswerData; },
                 .OnRefused =
                     [this](int attempt, const TAnswer&) {
                       HandOverLogLine("Ошибка (" + std::to_string(attempt) + ") ТАРВЕЛ2001 (Ф-" +
                                       DeviceName() + "): " + DumpAnswer());
                     },
                 .StatusBefore = "Чтение HDA - Transmit 1",
                 .StatusAfter = "Чтение HDA - Transmit 2"});
  if (reply.Accepted && &buffer != &answer_) buffer = answer_;
  return reply.Accepted;
}

bool TTarvel2001::FetchArchive(uint8_t address, uint8_t archive, uint8_t spare, TNTreeData* node,
                               TPrbArray& result, TDateTime from, uint8_t parameter, uint8_t branch) {
  Trace("Тарвел-2001 - запрос архива прибора - Параметр " + Hex2(parameter));
  SetStatusText("Тарвел2001 - запрос архива");
  bool ok = SendArchiveRequest(address, archive, answer_, parameter, branch);
  SetStatusText("Тарвел2001 - запрос архива закончен");
  if (!ok) return false;

  TAnswer reply = Answer();
  size_t offset = kNormalArchiveOffset;
  if (reply.At(4) != kFiveIdPathLength) {
    LogWrongAnswer(kWrongAnswerPrefix);
    offset = reply.At(4) + 7;
  }
  std::optional<TArchiveBlock> block = ArchiveBlockHead(reply, offset);
  if (!block) return false;
  bool hasData = ArchiveHasData(reply, *block);
  Trace(" Архив: " + Hex2(block->Count) + "  " + (hasData ? "1" : "0"));
  if (block->Count == 0 || !hasData) return true;

  if (parameter == tidDateColumn) return ReadDateColumn(*block, node, result);

  valueAnswer_ = answer_;
  TAnswer values = TAnswer::InBuffer(valueAnswer_);
  TDateArrayCell* cell = DateCellOf(node);
  currentDates_ = cell != nullptr ? cell->DateArray : nullptr;
  Trace(" разбор архива: " + BlockBytes(values, offset));
  Trace(" Даты: " + BlockBytes(TAnswer::InBuffer(dateAnswer_), offset));
  if (currentDates_) {
    Trace("DArrays есть");
    Trace("SyncDate " + Hex2(currentDates_->NewestIndex) + "  " +
          Hex2(static_cast<uint8_t>(currentDates_->Count)));
  } else {
    Trace("DArrays нет");
  }
  auto inStep = [&] {
    return currentDates_ && currentDates_->NewestIndex == block->Newest &&
           currentDates_->Count == block->Count;
  };
  if (!inStep()) {
    Trace("Надо запросить даты");
    TPrbArray dates;
    // A failed re-read leaves nothing to time-stamp the values with.
    if (!FetchArchive(address, archive, spare, node, dates, from, tidDateColumn, branch)) return false;
  }
  // Values are stamped by ring position, so the dates must describe the same ring state.
  if (!inStep()) return false;
  return DecodeValueColumn(*block, *currentDates_, node, result);
}

bool TTarvel2001::ReadDateColumn(const TArchiveBlock& block, TNTreeData* node, TPrbArray& result) {
  bool errorArchive = DataTypeOf(node) == kDataTypeErrorRecord;
  if (!ArchiveBlockFits(Answer(), block, DateRecordSize(errorArchive))) return false;
  dateAnswer_ = answer_;
  Trace(" разбор дат");
  currentDates_ =
      std::make_shared<TPrbArray>(DecodeDateArray(TAnswer::InBuffer(dateAnswer_), block, errorArchive));
  Trace("Разбор дат заколнчен");
  if (TDateArrayCell* cell = DateCellOf(node)) {
    cell->DateArray = currentDates_;
    NoteArchiveDates(cell);
  }
  result = *currentDates_;
  return true;
}

bool TTarvel2001::DecodeValueColumn(const TArchiveBlock& block, const TPrbArray& dates, TNTreeData* node,
                                    TPrbArray& result) {
  TAnswer values = TAnswer::InBuffer(valueAnswer_);
  bool errorArchive = DataTypeOf(node) == kDataTypeErrorRecord;
  if (!ArchiveBlockFits(values, block, ValueRecordSize(errorArchive))) return false;
  Trace("Разбор врхива ReDrawArray");
  bool nonZero = DecodeArchiveValues(values, block, dates, errorArchive, result);
  Trace("Разбор дат закончен");
  result.ValueQuality = kQualityGood;
  if (!nonZero && settings_.JournalEveryRequest)
    HandOverLogLine("Нулевые данные:" + (node != nullptr ? node->Path : std::string()));
  return true;
}

bool TTarvel2001::FetchCurrent(uint8_t address, uint8_t, int, TPrbArray& result, int, uint8_t parameter,
                               uint8_t firstLevel) {
  TPrbArray decoded;
  TDeviceReply reply =
      AskDevice({.Function = kFunctionData,
                 .Payload = TIdPath::Of(address, {firstLevel, tidCurrent, parameter}).RequestPath(),
                 .Accept =
                     [&decoded](const TAnswer& answer) {
                       return answer.Code() == kAnswerData && DecodeCurrentBlock(answer, decoded);
                     },
                 .OnRefused =
                     [this](int, const TAnswer& answer) {
                       if (answer.Code() != kAnswerData) LogWrongAnswer(kWrongAnswerPrefix);
                     }});
  result.Count = 0;
  if (!reply.Connected()) {
    result.ValueQuality = kQualityNotConnected;
    return false;
  }
  if (reply.Accepted) {
    result.Items = std::move(decoded.Items);
    result.Count = decoded.Count;
    result.ValueQuality = kQualityGood;
    return true;
  }
  result.ValueQuality =
      framing_->ResultCode() == kResultPortFailure ? kQualityNotConnected : kQualityDeviceFailure;
  return false;
}

bool TTarvel2001::FetchTimer(uint8_t address, uint8_t valueId, int, TPrbArray& result, int) {
  return AskTimerValue(TIdPath::Of(address, {tidTimer, valueId}), valueId, result);
}

void TTarvel2001::LogWrongAnswer(const std::string& prefix) {
  HandOverLogLine(prefix + DeviceName() + "): " + DumpAnswer());
}

}  // namespace orvela
