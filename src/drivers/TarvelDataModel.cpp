#include "drivers/TarvelDataModel.h"

#include "drivers/Tarvel2001Nodes.h"
#include "platform/Cp1251.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

constexpr uint8_t kFunctionData = 0x4A;
constexpr int kSerialAttempts = 3;

}  // namespace

TTarvelDataModel::TTarvelDataModel(std::unique_ptr<TProtocol> framing, ILinkOwner* owner,
                                   TConnectionDevice* link)
    : TDataModel(std::move(framing), owner, link),
      answer_(kAnswerBufferSize, 0xFF),
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
  if (!link_->Connect()) {
    answerOk_ = false;
    return false;
  }
  bool ok = Exchange(function, payload.first(std::min<size_t>(length, payload.size())), answer);
  if (&answer == &answer_) answerOk_ = ok;
  link_->Release();
  return ok;
}

bool TTarvelDataModel::ReadSerialNumber(uint8_t address, std::string& text) {
  const uint8_t payload[] = {0x05, 0x03, address, 0x41, 0x2F, 0x29};
  text.clear();
  bool ok = false;
  for (int attempt = 0; attempt < kSerialAttempts && !ok; ++attempt) {
    if (!link_->Connect()) return false;
    ok = Ask(kFunctionData, payload);
    link_->Release();
  }
  // A failed exchange leaves nothing to read; a short answer would only give the buffer's fill; an answer
  // of another kind holds no serial number.
  std::optional<std::string> serial =
      ok && Answer().Code() == kAnswerData ? DecodeSerial(Answer()) : std::nullopt;
  if (!serial) return false;
  text = Cp1251ToUtf8(*serial);
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

bool TTarvelDataModel::Ask(uint8_t function, std::span<const uint8_t> payload) {
  answerOk_ = Exchange(function, payload, answer_);
  return answerOk_;
}

std::string TTarvelDataModel::DumpAnswer() const {
  // Only what the device sent: the rest of the buffer is fill.
  return HexDump(std::span(answer_).first(AnswerLength(answer_)));
}

int TTarvelDataModel::DataTypeOf(const TNTreeData* node) {
  return node == nullptr ? 0 : static_cast<int>(node->Attributes[0].Value.AsDouble());
}

}  // namespace orvela
