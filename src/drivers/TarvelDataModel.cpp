#include "drivers/TarvelDataModel.h"

#include <algorithm>
#include <cmath>

#include "drivers/Tarvel2001Nodes.h"
#include "platform/Cp1251.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

constexpr uint8_t kFunctionData = 0x4A;
constexpr uint8_t kFunctionList = 0x48;
constexpr int64_t kBranchRetryPauseMs = 3000;
constexpr int64_t kReconnectPauseMs = 200;

// Whole minutes between two times, as the clock and status periods count them.
int64_t MinutesBetween(TDateTime a, TDateTime b) {
  return std::llround(std::fabs(a - b) * kMsPerDay) / 60'000;
}

std::optional<TVariant> DecodeTimerValue(const TAnswer& answer, uint8_t valueId) {
  if (answer.Code() != kAnswerData) return std::nullopt;
  if (valueId == tidStatus) {
    std::optional<int32_t> status = DecodeTimerStatus(answer);
    return status ? std::optional(TVariant::Int(*status)) : std::nullopt;
  }
  std::optional<TDateTime> date = DecodeTimerDate(answer);
  return date ? std::optional(TVariant::Date(*date)) : std::nullopt;
}

}  // namespace

TTarvelDataModel::TTarvelDataModel(std::unique_ptr<TProtocol> framing, ILinkOwner* owner,
                                   TConnectionDevice* link)
    : TDataModel(std::move(framing), owner, link),
      dateAnswer_(kAnswerBufferSize, 0xFF),
      valueAnswer_(kAnswerBufferSize, 0xFF),
      fourth_(kAnswerBufferSize, 0xFF) {}

bool TTarvelDataModel::ReadArchive(TPrbArray& result, TNTreeData* node, TDateTime from) {
  if (node == nullptr) return false;
  TIdPath path = TIdPath::FromNode(node);
  return ReadArchiveAt(path.Id(3), path.Id(1), node, result, from, path.Id(0), path.Id(2));
}

bool TTarvelDataModel::ReadCurrent(TPrbArray& result, TNTreeData* node, int mode) {
  if (node == nullptr) return false;
  TIdPath path = TIdPath::FromNode(node);
  int dataType = DataTypeOf(node);
  if (path.Id(1) == tidTimer || path.Id(1) == tidTimerAlt)
    return ReadTimerAt(path.Id(2), path.Id(0), dataType, result, mode);
  return ReadCurrentAt(path.Id(3), path.Id(1), dataType, result, mode, path.Id(0), path.Id(2));
}

bool TTarvelDataModel::SendCommand(uint8_t function, uint16_t length, TBytes& answer,
                                   std::span<const uint8_t> payload) {
  std::span<const uint8_t> sent = payload.first(std::min<size_t>(length, payload.size()));
  TDeviceReply reply =
      AskDevice({.Function = function, .Payload = {sent.begin(), sent.end()}, .Attempts = 1});
  if (reply.Accepted && &answer != &answer_) answer = answer_;
  return reply.Accepted;
}

bool TTarvelDataModel::ReadSerialNumber(uint8_t address, std::string& text) {
  text.clear();
  TDeviceReply reply =
      AskDevice({.Function = kFunctionData,
                 .Payload = TIdPath::Of(address, {serialBranch_, 0x2F, 0x29}).RequestPath()});
  // A failed exchange leaves nothing to read; a short answer would only give the buffer's fill; an answer
  // of another kind holds no serial number.
  std::optional<std::string> serial =
      reply.Accepted && Answer().Code() == kAnswerData ? DecodeSerial(Answer()) : std::nullopt;
  if (!serial) return false;
  text = Cp1251ToUtf8(*serial);
  return true;
}

bool TTarvelDataModel::IsKnownPath(const TIdPath& path) {
  TNTreeData scratch;
  std::string name;
  int kind = 0;
  DescribeNode(path, scratch, name, kind);
  return !name.empty();
}

bool TTarvelDataModel::AskBranchList(int length, std::span<const uint8_t> path, TRListData& list,
                                     const std::string& trace) {
  size_t sent = static_cast<size_t>(std::clamp<int>(length, 0, static_cast<int>(path.size())));
  // A node without children answers an empty list, too short to count as a successful exchange; a refusal
  // is as short. Both are answers, unlike a failed exchange. A count that claims more pairs than came is
  // no list either.
  TDeviceRequest request{.Function = kFunctionList,
                         .Payload = {path.begin(), path.begin() + static_cast<std::ptrdiff_t>(sent)},
                         .Accept =
                             [&list](const TAnswer& answer) {
                               return answer.Code() == kAnswerBranchList && DecodeIdList(answer, list);
                             },
                         .AcceptShort = true,
                         .StopWhenNotConnected = false,
                         .RetryPauseMs = kBranchRetryPauseMs,
                         .AttemptTrace = trace};
  TDeviceReply reply = AskDevice(request);
  if (!reply.Accepted) {
    list = {};
    throw ETarvelException(reply.State == TAskState::NoReply || !reply.Connected()
                               ? "Ошибка протокола"
                               : "Ошибка списка ветвей в параметрах прибора");
  }
  Trace(" Разбор идентификаторов -" + std::to_string(list.Count));
  for (int32_t i = 0; i < list.Count; ++i) Trace("|||" + Hex2(list.Ids[i]) + " - " + Hex2(list.Flags[i]));
  return true;
}

bool TTarvelDataModel::ReadArchiveAt(uint8_t, uint8_t, TNTreeData*, TPrbArray&, TDateTime, uint8_t, uint8_t) {
  return false;
}
bool TTarvelDataModel::ReadCurrentAt(uint8_t, uint8_t, int, TPrbArray&, int, uint8_t, uint8_t) {
  return false;
}
bool TTarvelDataModel::ReadTimerAt(uint8_t, uint8_t, int, TPrbArray&, int) {
  return false;
}
bool TTarvelDataModel::FetchArchive(uint8_t, uint8_t, uint8_t, TNTreeData*, TPrbArray&, TDateTime, uint8_t,
                                    uint8_t) {
  return false;
}
bool TTarvelDataModel::FetchCurrent(uint8_t, uint8_t, int, TPrbArray&, int, uint8_t, uint8_t) {
  return false;
}
bool TTarvelDataModel::FetchTimer(uint8_t, uint8_t, int, TPrbArray&, int) {
  return false;
}
bool TTarvelDataModel::SendArchiveRequest(uint8_t, uint8_t, TBytes&, uint8_t, uint8_t) {
  return false;
}

bool TTarvelDataModel::AskDeviceClock(const TIdPath& clockPath, TDateTime& time) {
  TDeviceReply reply = AskDevice(
      {.Function = kFunctionData, .Payload = clockPath.RequestPath(), .ReconnectPauseMs = kReconnectPauseMs});
  if (!reply.Connected()) return false;
  // Only a clock that really came counts; the buffer of a failed exchange holds nothing of this device.
  std::optional<TDateTime> clock =
      reply.Accepted && Answer().Code() == kAnswerData ? DecodeClockBlock(Answer()) : std::nullopt;
  if (clock) {
    time = *clock;
    return true;
  }
  time = GetClock().Now();
  return false;
}

bool TTarvelDataModel::TimerReadDue(uint8_t valueId) const {
  if (device_ == nullptr) return true;
  TDateTime now = GetClock().Now();
  if (valueId == tidCurrent) return MinutesBetween(now, device_->LastClockRead) > settings_.ClockCheckMinutes;
  if (valueId == tidStatus) return MinutesBetween(now, device_->LastStatusRead) > settings_.ChangeDateMinutes;
  return true;
}

bool TTarvelDataModel::AskTimerValue(const TIdPath& valuePath, uint8_t valueId, TPrbArray& result) {
  if (!TimerReadDue(valueId)) {
    const TPrbCasheData* cache = valueId == tidCurrent  ? &device_->DateCache
                                 : valueId == tidStatus ? &device_->StatusCache
                                                        : nullptr;
    if (cache != nullptr) result.SetSingleValue(cache->Value, cache->Quality);
    return true;
  }
  std::optional<TVariant> value;
  TDeviceReply reply = AskDevice({.Function = kFunctionData,
                                  .Payload = valuePath.RequestPath(),
                                  .Accept = [&value, valueId](const TAnswer& answer) {
                                    value = DecodeTimerValue(answer, valueId);
                                    return value.has_value();
                                  }});
  if (!reply.Connected()) {
    result.ValueQuality = kQualityNotConnected;
    return false;
  }
  if (!reply.Accepted) {
    result.ValueQuality = kQualityDeviceFailure;
    return false;
  }
  if (device_ != nullptr) {
    if (valueId == tidStatus) {
      device_->StatusCache = {*value, kQualityGood};
      device_->LastStatusRead = GetClock().Now();
    } else if (valueId == tidCurrent) {
      device_->DateCache = {*value, kQualityGood};
    }
  }
  result.SetSingleValue(*value);
  return true;
}

int TTarvelDataModel::DataTypeOf(const TNTreeData* node) {
  return node == nullptr ? 0 : static_cast<int>(Attribute(*node, asDataType).Value.AsDouble());
}

}  // namespace orvela
