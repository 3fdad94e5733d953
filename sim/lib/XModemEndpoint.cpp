#include "metersim/XModemEndpoint.h"

#include <algorithm>

#include "metersim/Crc16.h"

namespace orvela::sim {

using namespace xmodem;

namespace {
constexpr int64_t kByteTimeoutMs = 1'000;    // gap inside a request block after which it is refused
constexpr int64_t kStateTimeoutMs = 10'000;  // host silence after which the device stops waiting
constexpr int kMaxSends = 10;                // sends of one block or of the EOT
constexpr size_t kMaxRequestBlocks = 8;
}  // namespace

std::vector<uint8_t> xmodem::MakeBlock(uint8_t number, std::span<const uint8_t> data) {
  std::vector<uint8_t> block = {kSoh, number, static_cast<uint8_t>(255 - number)};
  auto used = data.first(std::min(data.size(), kBlockData));
  block.insert(block.end(), used.begin(), used.end());
  block.resize(3 + kBlockData, kFill);
  uint16_t crc = Crc16Xmodem(std::span(block).subspan(3));
  block.push_back(static_cast<uint8_t>(crc >> 8));
  block.push_back(static_cast<uint8_t>(crc & 0xFF));
  return block;
}

TXModemEndpoint::TXModemEndpoint(TSessionContext& context, IHandler& handler)
    : context_(context), handler_(handler), nextPrompt_(Now() + context.firstPromptDelayMs) {}

void TXModemEndpoint::Send(std::span<const uint8_t> bytes) {
  context_.out.Send(bytes);
}

void TXModemEndpoint::GoIdle() {
  state_ = EState::Idle;
  request_.clear();
  lastNumber_ = 0;
  reply_.clear();
  replyFaults_ = nullptr;
  int64_t slow = LineFaults().promptDelayMs;
  nextPrompt_ = Now() + (slow > 0 ? slow : context_.promptIntervalMs);
}

// A host that asks ("C") or ends a send nobody accepted (EOT) hears at once that the device waits for a
// request; a slow device keeps its own pace.
void TXModemEndpoint::PromptOnDemand() {
  if (LineFaults().promptDelayMs > 0) return;
  SendByte(kPrompt);
  nextPrompt_ = Now() + context_.promptIntervalMs;
}

void TXModemEndpoint::OnByte(uint8_t byte) {
  switch (state_) {
    case EState::Idle:
      OnIdleByte(byte);
      return;
    case EState::InBlock:
      block_.push_back(byte);
      deadline_ = Now() + kByteTimeoutMs;
      if (block_.size() == kBlockSize - 1) FinishRequestBlock();
      return;
    case EState::AwaitEot:
      if (byte == kEot) {
        Dispatch();
      } else if (byte == kSoh) {
        OnIdleByte(byte);
      } else if (byte == kPrompt) {
        // The host did not hear the ACK and asks for a prompt: the request starts over.
        GoIdle();
        PromptOnDemand();
      }
      return;
    case EState::AwaitReplyPrompt:
      if (byte == kPrompt) BeginReply();
      return;
    case EState::ReplyDelayed:
      return;
    case EState::AwaitBlockAck:
      // A "C" here crossed the block on the line; only a NAK asks for the block again.
      if (byte == kAck) {
        OnBlockAck();
      } else if (byte == kNak) {
        SendCurrentBlock();
      }
      return;
    case EState::AwaitEotAck:
      if (byte == kAck) {
        GoIdle();
      } else if (byte == kNak) {
        SendEot();
      }
      return;
  }
}

void TXModemEndpoint::OnIdleByte(uint8_t byte) {
  if (byte == kSoh) {
    block_.clear();
    state_ = EState::InBlock;
    deadline_ = Now() + kByteTimeoutMs;
  } else if (state_ == EState::Idle && (byte == kPrompt || byte == kEot)) {
    PromptOnDemand();
  }
  // Anything else (the link's 0xFF echo probe, stray ACKs) is line noise to an idle device.
}

void TXModemEndpoint::FinishRequestBlock() {
  uint8_t number = block_[0];
  bool good = number + block_[1] == 255 && Crc16Xmodem(std::span(block_).subspan(2)) == 0;
  if (!good) return RefuseBlock();
  if (!request_.empty() && number == lastNumber_) {
    // The host repeated a block whose ACK it missed.
    SendByte(kAck);
    state_ = EState::AwaitEot;
    deadline_ = Now() + kStateTimeoutMs;
    return;
  }
  if (number != static_cast<uint8_t>(lastNumber_ + 1) || request_.size() >= kMaxRequestBlocks * kBlockData) {
    return RefuseBlock();
  }
  std::vector<uint8_t> message = request_;
  message.insert(message.end(), block_.begin() + 2, block_.begin() + 2 + kBlockData);
  if (TFaultScope(handler_.FaultsFor(message), context_.lineFaults).Take(&TFaults::nakRequests)) {
    return RefuseBlock();
  }
  request_ = std::move(message);
  lastNumber_ = number;
  SendByte(kAck);
  state_ = EState::AwaitEot;
  deadline_ = Now() + kStateTimeoutMs;
}

void TXModemEndpoint::RefuseBlock() {
  SendByte(kNak);
  if (request_.empty()) {
    GoIdle();
  } else {
    state_ = EState::AwaitEot;
    deadline_ = Now() + kStateTimeoutMs;
  }
}

void TXModemEndpoint::Dispatch() {
  SendByte(kAck);
  std::vector<uint8_t> message = std::move(request_);
  request_.clear();
  lastNumber_ = 0;
  replyFaults_ = handler_.FaultsFor(message);
  auto answer = handler_.Answer(message);
  if (!answer || answer->size() < 4 || ReplyScope().Take(&TFaults::dropReplies)) return GoIdle();
  reply_ = std::move(*answer);
  size_t padded = std::max<size_t>(1, (reply_.size() + kBlockData - 1) / kBlockData) * kBlockData;
  if (ReplyScope().Take(&TFaults::shortReplies)) {
    // Declares four bytes more than all its blocks hold, fill included.
    reply_[2] = static_cast<uint8_t>(padded & 0xFF);
    reply_[3] = static_cast<uint8_t>(padded >> 8);
  }
  reply_.resize(padded, kFill);
  blockIndex_ = 0;
  sends_ = 0;
  repeated_ = false;
  state_ = EState::AwaitReplyPrompt;
  deadline_ = Now() + kStateTimeoutMs;
}

void TXModemEndpoint::BeginReply() {
  int64_t delay = ReplyScope().Merged().replyDelayMs;
  if (delay > 0) {
    state_ = EState::ReplyDelayed;
    deadline_ = Now() + delay;
  } else {
    SendCurrentBlock();
  }
}

void TXModemEndpoint::SendCurrentBlock() {
  if (++sends_ > kMaxSends) return GoIdle();
  auto block = MakeBlock(static_cast<uint8_t>(blockIndex_ + 1),
                         std::span(reply_).subspan(blockIndex_ * kBlockData, kBlockData));
  TFaultScope scope = ReplyScope();
  if (scope.Take(&TFaults::badCrc)) block.back() ^= 0xFF;
  if (scope.Take(&TFaults::truncateBlocks)) {
    Send(std::span(block).first(64));
    return GoIdle();
  }
  Send(block);
  state_ = EState::AwaitBlockAck;
  deadline_ = Now() + kStateTimeoutMs;
}

void TXModemEndpoint::OnBlockAck() {
  sends_ = 0;
  if (!repeated_ && ReplyScope().Take(&TFaults::repeatBlocks)) {
    // As a device that missed the ACK: the same block once more.
    repeated_ = true;
    return SendCurrentBlock();
  }
  repeated_ = false;
  ++blockIndex_;
  if (blockIndex_ * kBlockData < reply_.size()) return SendCurrentBlock();
  SendEot();
}

void TXModemEndpoint::SendEot() {
  if (++sends_ > kMaxSends) return GoIdle();
  SendByte(kEot);
  state_ = EState::AwaitEotAck;
  deadline_ = Now() + kStateTimeoutMs;
}

int64_t TXModemEndpoint::OnTick() {
  int64_t now = Now();
  if (state_ == EState::Idle) {
    if (now >= nextPrompt_) {
      SendByte(kPrompt);
      int64_t slow = LineFaults().promptDelayMs;
      nextPrompt_ = now + (slow > 0 ? slow : context_.promptIntervalMs);
    }
    return nextPrompt_;
  }
  if (now < deadline_) return deadline_;
  switch (state_) {
    case EState::InBlock:
      RefuseBlock();
      break;
    case EState::ReplyDelayed:
    case EState::AwaitBlockAck:
      SendCurrentBlock();
      break;
    case EState::AwaitEotAck:
      SendEot();
      break;
    default:
      GoIdle();
      break;  // the host gave up on this exchange
  }
  return state_ == EState::Idle ? nextPrompt_ : deadline_;
}

}  // namespace orvela::sim
