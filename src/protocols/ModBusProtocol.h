#pragma once
// ModBus RTU over any link, with the maker's own function codes: a request goes out with its CRC, the reply
// is read by its function's length rules and refused unless it is whole, checked and the answer of the
// request's device to the request's function. The maker's messages travel through a tunnel of two of those
// functions (put the message, read the answer back in pieces), so the maker's meters can be driven through
// a ModBus converter with the same drivers as over XModem.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "protocols/Crc16.h"
#include "protocols/Protocol.h"

namespace orvela {

namespace modbus {
inline constexpr uint8_t kExceptionBit = 0x80;
// Transaction codes that change how a reply is kept.
inline constexpr int kCodeWireOrder = 31;   // registers of 3/4 in wire order (high byte first)
inline constexpr int kCodeWrite = 16;       // the buffer gets the reply's first six bytes
inline constexpr int kCodeFixedBlock = 66;  // the reply is address, function, 246 data bytes
inline constexpr size_t kFixedBlockData = 246;
// The largest byte count a ModBus reply can carry (125 registers, 2,000 coils).
inline constexpr size_t kMaxByteCount = 250;
// Transact's buffer: at least the 249 bytes the drivers read, and room for the largest reply.
inline constexpr size_t kTransactBufferSize = 256;
// Outcomes of Transact besides 0.
inline constexpr int kFailed = -1;
inline constexpr int kNoAnswer = -2;
inline constexpr int kNoAnswerAgain = -5;  // the link already counted five failures without an answer
inline constexpr int kExceptionReply = 6;
// No-answer failures after which the link is told the device is gone for good.
inline constexpr int kNoAnswerLimit = 5;
// The maker's tunnel functions: put a message (reply: its answer's length), read the answer back.
inline constexpr uint8_t kFnTunnelPut = 0x70;
inline constexpr uint8_t kFnTunnelRead = 0x71;
// A piece of the answer still being prepared carries this status.
inline constexpr uint8_t kTunnelBusy = 1;
// The converter itself answers a message that names no device (the line scan) at this address.
inline constexpr uint8_t kTunnelLineAddress = 0xFE;
inline constexpr int kDefaultPauseMs = 100;
}  // namespace modbus

// The request with its CRC appended, low byte first.
TBytes BuildModBusFrame(std::span<const uint8_t> request);

class ModBusProtocol : public TProtocol {
 public:
  ModBusProtocol();

  // One RTU transaction. 0 on success; 6 for an exception reply (the buffer starts with the exception
  // code); -1 for a failed write, read, check or connection; -2 (-5 once the link counted five) for a
  // device that does not answer. The buffer (256 bytes, 0xFF past the data) gets the reply from its byte
  // count on; code 16: the reply's first six bytes; code 66: the 246 data bytes.
  int Transact(int code, std::span<const uint8_t> request, TBytes& buffer) override;
  // A maker message through the tunnel; the answer as XModem's Request gives it.
  bool Request(std::span<const uint8_t> message, TBytes& buffer) override;
  void SendFrame(std::span<const uint8_t> request) override;
  void ReceiveFrame(TBytes& reply) override;

  // "Пауза перед запросом (мсек)", slept before every request.
  void SetRequestPauseMs(int64_t ms) { pauseMs_ = ms; }
  // Piece size of the tunnel's read-back and how long a piece may keep the converter busy.
  void SetTunnelChunk(uint8_t bytes, int64_t busyLimitMs);

  // Up to 51 × (CheckLink, a waiting byte or WaitData(20)); raises EReadExcept.
  uint8_t ReadByteMb();

 protected:
  int64_t ExchangeBudgetMs() const override;

 private:
  // Connect, pause, the exchange, Release; the outcome as Transact returns it before the copy.
  int RunTransaction(std::span<const uint8_t> request);
  // Reads one byte into the CRC and, when keep, onto the reply.
  uint8_t Take(TBytes& reply, bool keep = true);
  // A byte count n read and bounded; even when the body is made of pairs.
  size_t TakeCount(TBytes& reply, bool pairs);
  void TakeBody(TBytes& reply, uint8_t function);
  void CheckCrc();
  // The tunnel's two steps; false when the converter gave up.
  bool TunnelPut(uint8_t address, std::span<const uint8_t> message, size_t& length);
  bool TunnelReadBack(uint8_t address, size_t length, TBytes& answer);

  int code_ = 0;
  TBytes request_;
  TCrc16ModBus crc_;
  int64_t pauseMs_ = modbus::kDefaultPauseMs;
  uint8_t chunk_ = 242;
  int64_t busyLimitMs_ = 2'000;
};

}  // namespace orvela
