#pragma once
// The device side of the maker's XModem framing (128-byte blocks, CRC-16, the receiver's "C" prompt).
//
// Idle, the device prompts "C" on its own timer: at every whole multiple of the prompt interval of the
// line's clock, whoever is connected and whatever the host sends (a host "C" or EOT gets no prompt of its
// own), so a host sees the prompts a meter gives and not prompts made to its measure. The host sends
// SOH, block number, its complement, 128 data bytes and the CRC (high byte first); the device ACKs a good
// block (a repeated block number is ACKed again without being kept) and NAKs a bad one, then ACKs the
// host's EOT and prepares the answer. It waits for the host's "C", sends the answer in blocks numbered
// from 1, resends a block on NAK, and after the last ACK sends EOT until the host ACKs it. A device with
// nothing to say returns to idle.
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "metersim/Responder.h"

namespace orvela::sim {

namespace xmodem {
inline constexpr uint8_t kSoh = 0x01;
inline constexpr uint8_t kEot = 0x04;
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kPrompt = 'C';
inline constexpr uint8_t kFill = 0x1A;
inline constexpr size_t kBlockData = 128;
inline constexpr size_t kBlockSize = 3 + kBlockData + 2;

// A whole block: SOH, number, 255 - number, the data (cut or filled with 0x1A to 128 bytes), CRC.
std::vector<uint8_t> MakeBlock(uint8_t number, std::span<const uint8_t> data);
}  // namespace xmodem

class TXModemEndpoint {
 public:
  class IHandler {
   public:
    // Faults of the device a request message is for (none when no device has its address).
    virtual TFaultCell* FaultsFor(std::span<const uint8_t> message) = 0;
    // The answer message, or none when nobody answers.
    virtual std::optional<std::vector<uint8_t>> Answer(std::span<const uint8_t> message) = 0;

   protected:
    ~IHandler() = default;
  };

  TXModemEndpoint(TSessionContext& context, IHandler& handler);
  void OnByte(uint8_t byte);
  int64_t OnTick();

 private:
  enum class EState { Idle, InBlock, AwaitEot, AwaitReplyPrompt, ReplyDelayed, AwaitBlockAck, AwaitEotAck };

  void Send(std::span<const uint8_t> bytes);
  void SendByte(uint8_t byte) { Send(std::span(&byte, 1)); }
  // A block or EOT of the answer: at once, or queued byte by byte on a dripping line.
  void SendReply(std::span<const uint8_t> bytes);
  int64_t Now() const { return context_.clock.TickMs(); }
  TFaults LineFaults() const { return context_.lineFaults.Get(); }
  TFaultScope ReplyScope() { return TFaultScope(replyFaults_, context_.lineFaults); }
  // The first tick of the prompt timer at or after notBefore.
  int64_t PromptTick(int64_t notBefore) const;
  bool Drip(int64_t now);

  void GoIdle();
  void OnIdleByte(uint8_t byte);
  void FinishRequestBlock();
  void RefuseBlock();
  void Dispatch();
  void BeginReply();
  void SendCurrentBlock();
  void OnBlockAck();
  void SendEot();

  TSessionContext& context_;
  IHandler& handler_;
  EState state_ = EState::Idle;
  int64_t deadline_ = 0;
  int64_t nextPrompt_ = 0;
  std::vector<uint8_t> block_;    // request block being received, after its SOH
  std::vector<uint8_t> request_;  // accepted request data
  uint8_t lastNumber_ = 0;
  std::vector<uint8_t> reply_;  // answer message filled to whole blocks
  TFaultCell* replyFaults_ = nullptr;
  size_t blockIndex_ = 0;
  int sends_ = 0;  // sends of the current block or EOT
  bool repeated_ = false;
  bool resendForever_ = false;  // this answer never gets past block 1
  bool poked_ = false;          // the host answered a block that is to be sent again regardless
  int64_t dripMs_ = 0;
  std::deque<uint8_t> drip_;  // answer bytes still to leave on a dripping line
  int64_t nextDrip_ = 0;
  std::mt19937 random_{0x5EEDu};  // garbage answers, the same from run to run
};

}  // namespace orvela::sim
