#include "drivers/DataModel.h"

#include "drivers/TarvelDecode.h"
#include "platform/JournalSink.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

// Releases the link when the scope ends, whichever way it ends.
class TReleaseOnExit {
 public:
  explicit TReleaseOnExit(TConnectionDevice* link) : link_(link) {}
  ~TReleaseOnExit() {
    try {
      link_->Release();
    } catch (...) {  // a failing close must not hide the scan's own outcome
    }
  }
  TReleaseOnExit(const TReleaseOnExit&) = delete;
  TReleaseOnExit& operator=(const TReleaseOnExit&) = delete;

 private:
  TConnectionDevice* link_;
};

constexpr uint8_t kFunctionList = 0x48;
constexpr uint8_t kFunctionData = 0x4A;

// Low nibble of the first list entry: what the device says it is.
constexpr uint8_t kNibbleTarvelM = 8;
constexpr uint8_t kNibbleSelfDescribing = 1;
// Low nibble of the answer code to the second question.
constexpr uint8_t kNibbleTarvelF = 3;
constexpr uint8_t kNibbleTarvel2001 = 8;

}  // namespace

TDataModel::TDataModel(std::unique_ptr<TProtocol> framing, ILinkOwner* owner, TConnectionDevice* link)
    : framing_(std::move(framing)), link_(link), owner_(owner) {
  framing_->SetLink(link_);
}

TDataModel::~TDataModel() {
  framing_.reset();
  if (link_ != nullptr && link_->OwnedByModel()) delete link_;
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
  if (!link_->Connect()) return false;
  TReleaseOnExit release(link_);
  static constexpr uint8_t kRequest[] = {0x00, kFunctionList, 0x02, 0x00, 0x01, 0x03};
  TBytes answer;
  // Only an answer that really came is looked at: a failed exchange leaves the buffer unwritten.
  if (!framing_->Request(kRequest, answer)) return false;
  TAnswer reply = TAnswer::InBuffer(answer);
  if (reply.Code() != kAnswerBranchList || !DecodeIdList(reply, list)) {
    list = {};
    throw ETarvelException("Ошибка получения списка приборов");
  }
  return true;
}

bool TDataModel::IdentifyDevice(uint8_t address, uint8_t& model) {
  if (!link_->Connect()) return false;
  TReleaseOnExit release(link_);
  const uint8_t first[] = {0x00, kFunctionList, 0x06, 0x00, 0x02, 0x03, address, 0x00, 0x00, 0x00};
  TBytes answer(kAnswerBufferSize, 0xFF);
  if (!framing_->Request(first, answer)) return false;
  TAnswer reply = TAnswer::InBuffer(answer);
  // Only a list answers the question; anything else is no device's answer to it.
  if (reply.Code() != kAnswerBranchList) {
    Trace("Опрос прибора " + std::to_string(address) + ": ответ не на запрос - " + HexDump(reply.Bytes()));
    return false;
  }
  if (!reply.Has(6)) return true;
  uint8_t kind = reply.At(6) & 0x0F;
  if (kind == kNibbleTarvelM) {
    model = mcTarvelM;
    return true;
  }
  if (kind != kNibbleSelfDescribing) return true;
  if (!link_->Connect()) return false;
  const uint8_t second[] = {0x00, kFunctionData, 0x06, 0x00, 0x05, 0x03, address, 0x81, 0x00, 0x00};
  TBytes secondAnswer(kAnswerBufferSize, 0xFF);
  bool result = framing_->Request(second, secondAnswer);
  if (!framing_->ReplyArrived()) return false;
  TAnswer secondReply = TAnswer::InBuffer(secondAnswer);
  if (!EchoesRequest(secondReply, std::span(second).subspan(4))) {
    Trace("Опрос прибора " + std::to_string(address) + ": ответ не этого прибора - " +
          HexDump(secondReply.Bytes()));
    return false;
  }
  uint8_t family = secondReply.Code() & 0x0F;
  // The F meter refuses the model question, in a reply too short to count as an exchange; the refusal
  // names it all the same.
  if (family == kNibbleTarvelF) {
    model = mcTarvelF;
    return true;
  }
  if (result && family == kNibbleTarvel2001) model = mcTarvel2001;
  return result;
}

void TDataModel::HandOverLogLine(const std::string& text) {
  logLine_ = text;
  std::string serial = device_ != nullptr ? device_->Serial : std::string();
  auto append = [line = logLine_, serial] { JournalLine(line, serial); };
  if (owner_ != nullptr)
    owner_->Synchronize(append);
  else
    append();
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

bool TDataModel::Exchange(uint8_t function, std::span<const uint8_t> payload, TBytes& answer) {
  TBytes request{0x00, function, static_cast<uint8_t>(payload.size() & 0xFF),
                 static_cast<uint8_t>((payload.size() >> 8) & 0xFF)};
  request.insert(request.end(), payload.begin(), payload.end());
  if (!framing_->Request(request, answer)) return false;
  TAnswer reply = TAnswer::InBuffer(answer);
  if (EchoesRequest(reply, payload)) return true;
  // Another device's answer (or a stale one) is no answer to this request.
  Trace("Ответ не на запрос: " + HexDump(reply.Bytes()));
  return false;
}

void TDataModel::NoteArchiveDates(TDateArrayCell* cell) {
  if (archiveDates_ == nullptr || cell == nullptr) return;
  for (TDateArrayCell* known : *archiveDates_)
    if (known == cell) return;
  archiveDates_->push_back(cell);
}

}  // namespace orvela
