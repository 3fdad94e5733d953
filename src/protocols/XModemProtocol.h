#pragma once
// The maker's heat-meter protocol carried in XModem-CRC blocks: one request block out, one or more
// reply blocks back.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "protocols/Crc16.h"
#include "protocols/Protocol.h"

namespace orvela {

namespace xmodem {
inline constexpr uint8_t kSoh = 0x01;
inline constexpr uint8_t kEot = 0x04;
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kCrcRequest = 'C';
inline constexpr uint8_t kFill = 0x1A;
inline constexpr size_t kDataSize = 128;
inline constexpr size_t kBlockSize = 3 + kDataSize + 2;
// Reply header: bytes 2 and 3 hold the payload's length (little-endian) not counting the 4 header bytes.
inline constexpr size_t kHeaderSize = 4;
inline constexpr size_t kReplyBufferSize = 65536;
}  // namespace xmodem

// One block: SOH, number, 255 - number, 128 data bytes (cut or padded with 0x1A), CRC high byte first.
TBytes BuildXModemBlock(uint8_t number, std::span<const uint8_t> data);

class XModemProtocol : public TProtocol {
 public:
  // Runs the transaction and releases the link. On success the buffer (resized to 65,536 bytes) is
  // filled with 0xFF and the reply's header and declared payload are copied to its start. True when
  // the reply is whole and longer than 6 bytes.
  bool Request(std::span<const uint8_t> request, TBytes& buffer) override;
  void SendRaw(std::span<const uint8_t> bytes) override;
  std::string ReadRawByte() override;
  // Request block with the ready wait, retries and the EOT hand-shake; raises on failure.
  void SendFrame(std::span<const uint8_t> request) override;
  // Reply blocks until EOT; raises on failure.
  void ReceiveFrame(TBytes& reply) override;

  // Up to 401 × (CheckLink, a waiting byte or WaitData(20)); raises EReadExcept "Ошибка чтения байта".
  uint8_t ReadByteTimed();
  // The reply payload of the last ReceiveFrame (header and data, fill included).
  const TBytes& LastReply() const { return reply_; }

 private:
  enum class TBlockResult { Retry, Accepted, Repeated };

  // Runs SendFrame and ReceiveFrame; false on a caught failure or shutdown.
  bool Transaction(std::span<const uint8_t> request);
  // Waits for the receiver's "C": the quiet wait, the release procedure and the ACK NAK nudges.
  void WaitReady();
  // A device still sending from an earlier exchange: ask it with "C" until it is ready again.
  bool ReleaseRead();
  void SendEot();
  void SendByte(uint8_t byte);
  // True when bytes are buffered or the link holds some.
  bool AnythingWaiting();
  // Waits for the first SOH of a block, nudging with "C"; raises when none comes.
  void WaitBlockStart(int attempt);
  // After a bad header: NAK "C" and look for the next SOH.
  void Resync();
  // Reads one block after its SOH into data (128 bytes).
  TBlockResult ReadBlock(uint8_t expected, bool firstBlock, bool& startFlag, TBytes& data);
  // After an accepted block: true on SOH (next block), false on EOT (reply complete).
  bool WaitNextBlock();

  TCrc16Xmodem crc_;
  TBytes reply_;
};

}  // namespace orvela
