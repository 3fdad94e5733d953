#include "drivers/DataModel.h"

#include <stdexcept>

#include "drivers/Families.h"
#include "platform/JournalSink.h"
#include "protocols/MakerMessage.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

constexpr uint8_t kFunctionList = 0x48;
constexpr uint8_t kFunctionData = 0x4A;

// Low nibble of the first list entry of a device that names its model only when asked again.
constexpr uint8_t kNibbleSelfDescribing = 1;

}  // namespace

TDataModel::TDataModel(std::unique_ptr<TProtocol> framing, ILinkOwner* owner, TConnectionDevice* link)
    : answer_(kAnswerBufferSize, 0xFF), framing_(std::move(framing)), link_(link), owner_(owner) {
  framing_->SetLink(link_);
}

TDataModel::~TDataModel() {
  framing_.reset();  // the framing may still name the link
}

void TDataModel::AdoptLink(std::unique_ptr<TConnectionDevice> link) {
  if (link.get() != link_) throw std::logic_error("a data model adopts only the link it runs on");
  ownedLink_ = std::move(link);
}

void TDataModel::SetEnvironment(const TModelEnvironment& environment) {
  settings_ = environment.Settings;
  english_ = environment.English;
  treeBuilder_ = environment.TreeBuilder;
  framing_->SetShutdownFlag(environment.Shutdown);
  if (link_ != nullptr) link_->SetShutdownFlag(environment.Shutdown);
}

TDataModel::TLinkSession::TLinkSession(TDataModel& model) : model_(model) {
  if (model_.sessionDepth_++ == 0) model_.sessionConnected_ = false;
}

TDataModel::TLinkSession::~TLinkSession() {
  if (--model_.sessionDepth_ > 0 || !model_.sessionConnected_) return;
  try {
    model_.link_->Release();
  } catch (...) {  // a failing close must not hide the operation's own outcome
  }
}

bool TDataModel::TLinkSession::Connect(int64_t pauseMs) {
  bool connected = model_.link_->Connect();
  if (!connected && pauseMs >= 0) {
    model_.GetClock().Sleep(pauseMs);
    connected = model_.link_->Connect();
  }
  if (connected) model_.sessionConnected_ = true;
  return connected;
}

TDeviceReply TDataModel::AskDevice(const TDeviceRequest& request) {
  TLinkSession session(*this);
  TBytes message = maker::BuildMessage(request.Function, request.Payload);
  TDeviceReply reply;
  for (int attempt = 1; attempt <= request.Attempts; ++attempt) {
    reply.State = AskOnce(session, request, message);
    if (reply.State == TAskState::NotConnected && request.StopWhenNotConnected) return reply;
    bool offered =
        reply.State == TAskState::Whole || (request.AcceptShort && reply.State == TAskState::Short);
    if (offered) {
      reply.Accepted = request.Accept ? request.Accept(Answer()) : reply.State == TAskState::Whole;
      if (reply.Accepted) return reply;
      if (reply.State == TAskState::Whole && request.OnRefused) request.OnRefused(attempt, Answer());
    }
    if (attempt == request.Attempts || ShuttingDown()) break;
    if (request.PortFailureAttempts > 0 && attempt >= request.PortFailureAttempts &&
        framing_->ResultCode() == kResultPortFailure)
      break;
    if (reply.State != TAskState::Whole && request.RetryPauseMs > 0) GetClock().Sleep(request.RetryPauseMs);
  }
  return reply;
}

TAskState TDataModel::AskOnce(TLinkSession& session, const TDeviceRequest& request,
                              std::span<const uint8_t> message) {
  answerArrived_ = false;
  if (!request.AttemptTrace.empty()) Trace(request.AttemptTrace);
  if (!session.Connect(request.ReconnectPauseMs)) return TAskState::NotConnected;
  if (!request.StatusBefore.empty()) SetStatusText(request.StatusBefore);
  bool whole = framing_->Request(message, answer_);
  if (!request.StatusAfter.empty()) SetStatusText(request.StatusAfter);
  if (!whole && !framing_->ReplyArrived()) return TAskState::NoReply;
  TAnswer reply = TAnswer::InBuffer(answer_);
  if (!EchoesRequest(reply, request.Payload)) {
    // Another device's answer (or a stale one) is no answer to this request.
    Trace("Ответ не на запрос: " + HexDump(reply.Bytes()));
    return TAskState::Foreign;
  }
  answerArrived_ = true;
  return whole ? TAskState::Whole : TAskState::Short;
}

std::string TDataModel::DumpAnswer() const {
  // Only what the device sent: the rest of the buffer is fill.
  return HexDump(std::span(answer_).first(AnswerLength(answer_)));
}

void TDataModel::ReportReadDone() {
  if (workItem_ != nullptr) workItem_->ReadResult = 1;
}

void TDataModel::DescribeNode(const TIdPath&, TNTreeData&, std::string& name, int& kind) {
  name.clear();
  kind = 0;
}
bool TDataModel::SendCommand(uint8_t, uint16_t, TBytes&, std::span<const uint8_t>) {
  return false;
}
bool TDataModel::ReadBranchList(int, std::span<const uint8_t>, TRListData&) {
  return false;
}
bool TDataModel::ReadSerialNumber(uint8_t, std::string&) {
  return false;
}
bool TDataModel::ReadArchive(TPrbArray&, TNTreeData*, TDateTime) {
  return false;
}
bool TDataModel::ReadCurrent(TPrbArray&, TNTreeData*, int) {
  return false;
}
bool TDataModel::WriteCurrent(TPrbArray&, TNTreeData*, int) {
  return false;
}
bool TDataModel::IsKnownPath(const TIdPath&) {
  return false;
}
bool TDataModel::ReadDeviceClock(uint8_t, TDateTime&) {
  return false;
}
bool TDataModel::BuildTree(TNTreeData*) {
  return false;
}
void TDataModel::PollDevice(uint8_t) {}

bool TDataModel::ReadDeviceList(TRListData& list) {
  list = {};
  // The question is the line's own path: no device address, no ids.
  TDeviceReply reply =
      AskDevice({.Function = kFunctionList, .Payload = TIdPath().RequestPath(), .Attempts = 1});
  // Only an answer that really came is looked at: a failed exchange leaves the buffer unwritten.
  if (!reply.Accepted) return false;
  if (Answer().Code() != kAnswerBranchList || !DecodeIdList(Answer(), list)) {
    list = {};
    throw ETarvelException("Ошибка получения списка приборов");
  }
  return true;
}

bool TDataModel::IdentifyDevice(uint8_t address, uint8_t& model) {
  TLinkSession session(*this);  // both questions on one connection, released once
  // The device's own list, asked with three empty id slots.
  std::vector<uint8_t> listPath = TIdPath{address}.RequestPath();
  listPath.resize(listPath.size() + 3, 0);
  TDeviceReply first = AskDevice({.Function = kFunctionList, .Payload = listPath, .Attempts = 1});
  if (!first.Accepted) return false;
  // Only a list answers the question; anything else is no device's answer to it.
  if (Answer().Code() != kAnswerBranchList) {
    Trace("Опрос прибора " + std::to_string(address) + ": ответ не на запрос - " + HexDump(Answer().Bytes()));
    return false;
  }
  if (!Answer().Has(6)) return true;
  uint8_t kind = Answer().At(6) & 0x0F;
  if (const TFamily* named = FamilyIdentifiedBy(TIdentifyStage::First, kind)) {
    model = named->code;
    return true;
  }
  if (kind != kNibbleSelfDescribing) return true;
  TDeviceReply second = AskDevice({.Function = kFunctionData,
                                   .Payload = TIdPath::Of(address, {0x81, 0x00, 0x00}).RequestPath(),
                                   .Attempts = 1,
                                   .Accept = [](const TAnswer&) { return true; },
                                   .AcceptShort = true});
  if (!second.Arrived()) return false;
  const TFamily* named = FamilyIdentifiedBy(TIdentifyStage::Second, Answer().Code() & 0x0F);
  // The F meter refuses the model question, in a reply too short to count as an exchange; the refusal
  // names it all the same.
  if (named != nullptr && named->namedByRefusal) {
    model = named->code;
    return true;
  }
  bool result = second.State == TAskState::Whole;
  if (result && named != nullptr) model = named->code;
  return result;
}

void TDataModel::HandOverLogLine(const std::string& text) {
  logLine_ = text;
  std::string serial = device_ != nullptr ? device_->Serial : std::string();
  RunInOwner(owner_, [line = logLine_, serial] { JournalLine(line, serial); });
}

void TDataModel::Trace(const std::string& text) {
  if (order_ != nullptr) order_->LogLine(text);
}

void TDataModel::SetStatusText(const std::string& text) {
  if (order_ != nullptr) order_->SetStatus(text);
}

std::string TDataModel::DeviceName() const {
  return device_ != nullptr ? device_->Name : std::string();
}

void TDataModel::NoteArchiveDates(TDateArrayCell* cell) {
  if (archiveDates_ == nullptr || cell == nullptr) return;
  for (TDateArrayCell* known : *archiveDates_)
    if (known == cell) return;
  archiveDates_->push_back(cell);
}

}  // namespace orvela
