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
  std::vector<uint8_t> block(3 + kBlockData, kFill);
  block[0] = kSoh;
  block[1] = number;
  block[2] = static_cast<uint8_t>(255 - number);
  std::copy_n(data.begin(), std::min(data.size(), kBlockData), block.begin() + 3);
  uint16_t crc = Crc16Xmodem(std::span(block).subspan(3));
  block.push_back(static_cast<uint8_t>(crc >> 8));
  block.push_back(static_cast<uint8_t>(crc & 0xFF));
  return block;
}

TXModemEndpoint::TXModemEndpoint(TSessionContext& context, IHandler& handler)
    : context_(context), handler_(handler), nextPrompt_(PromptTick(Now() + context.firstPromptDelayMs)) {}

void TXModemEndpoint::Send(std::span<const uint8_t> bytes) {
  context_.out.Send(bytes);
}

void TXModemEndpoint::SendReply(std::span<const uint8_t> bytes) {
  if (dripMs_ <= 0) return Send(bytes);
  // A new block or EOT replaces what had not left yet: the host asked for something else meanwhile.
  if (drip_.empty()) nextDrip_ = Now();
  drip_.assign(bytes.begin(), bytes.end());
}

// One queued answer byte when its time has come; true while bytes wait.
bool TXModemEndpoint::Drip(int64_t now) {
  if (drip_.empty()) return false;
  if (now >= nextDrip_) {
    SendByte(drip_.front());
    drip_.pop_front();
    nextDrip_ = now + dripMs_;
    // The wait for the host's answer starts when the last byte has left.
    if (drip_.empty()) deadline_ = now + kStateTimeoutMs;
  }
  return !drip_.empty();
}

int64_t TXModemEndpoint::PromptTick(int64_t notBefore) const {
  int64_t slow = LineFaults().promptDelayMs;
  int64_t interval = std::max<int64_t>(1, slow > 0 ? slow : context_.promptIntervalMs);
  int64_t ticks = notBefore / interval;
  if (ticks * interval < notBefore) ++ticks;
  return ticks * interval;
}

void TXModemEndpoint::GoIdle() {
  state_ = EState::Idle;
  request_.clear();
  lastNumber_ = 0;
  reply_.clear();
  replyFaults_ = nullptr;
  drip_.clear();
  dripMs_ = 0;
  resendForever_ = poked_ = false;
  nextPrompt_ = PromptTick(Now() + 1);
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
        // The host did not hear the ACK and waits for a prompt: the request starts over.
        GoIdle();
      }
      return;
    case EState::AwaitReplyPrompt:
      if (byte == kPrompt) BeginReply();
      return;
    case EState::ReplyDelayed:
      return;
    case EState::AwaitBlockAck:
      if (resendForever_) {
        // Whatever the host says, block 1 comes again (once per burst of host bytes).
        poked_ = true;
        return;
      }
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
  }
  // Anything else (a host's "C" or EOT, the link's 0xFF echo probe, stray ACKs) is line noise to an idle
  // device: it keeps prompting on its own timer.
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
  if (ReplyScope().Take(&TFaults::garbage)) {
    for (uint8_t& byte : reply_) byte = static_cast<uint8_t>(random_() & 0xFF);
  }
  blockIndex_ = 0;
  sends_ = 0;
  repeated_ = false;
  state_ = EState::AwaitReplyPrompt;
  deadline_ = Now() + kStateTimeoutMs;
}

void TXModemEndpoint::BeginReply() {
  TFaults faults = ReplyScope().Merged();
  dripMs_ = faults.dripMs;
  resendForever_ = ReplyScope().Take(&TFaults::resendForever);
  int64_t delay = faults.replyDelayMs;
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
  SendReply(block);
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
  SendReply(std::span(&kEot, 1));
  state_ = EState::AwaitEotAck;
  deadline_ = Now() + kStateTimeoutMs;
}

int64_t TXModemEndpoint::OnTick() {
  int64_t now = Now();
  if (state_ == EState::Idle) {
    if (now >= nextPrompt_) {
      SendByte(kPrompt);
      nextPrompt_ = PromptTick(now + 1);
    }
    return nextPrompt_;
  }
  if (Drip(now)) return nextDrip_;
  if (poked_ && state_ == EState::AwaitBlockAck) {
    poked_ = false;
    sends_ = 0;  // only a silent host ends an endless resend
    SendCurrentBlock();
    return drip_.empty() ? deadline_ : nextDrip_;
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
  if (state_ == EState::Idle) return nextPrompt_;
  return drip_.empty() ? deadline_ : nextDrip_;
}

}  // namespace orvela::sim
