#pragma once
// The maker's heat-meter protocol carried in XModem-CRC blocks: one request block out, one or more
// reply blocks back.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "protocols/Crc16.h"
#include "protocols/MakerMessage.h"
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
inline constexpr size_t kReplyBufferSize = maker::kAnswerBufferSize;
// The bound on one exchange as a whole: a floor for the hand-shakes (ready wait, release procedure, the
// device's first reply block) plus, per block, twice its time on the line and a turn-around allowance.
inline constexpr int64_t kExchangeFloorMs = 60'000;
inline constexpr int64_t kBlockTurnaroundMs = 1'000;
// Line speed assumed when the connection names none (socket links, a GPRS wait period).
inline constexpr int32_t kDefaultBitsPerSecond = 9600;
// Consecutive repeats of one reply block acknowledged before the exchange is given up.
inline constexpr int kMaxBlockRepeats = 3;
}  // namespace xmodem

// Milliseconds one exchange of `blocks` blocks (request and reply) may take on a line of that speed;
// speeds outside 300 to 1,000,000 bit/s count as the default.
int64_t XModemExchangeBudgetMs(size_t blocks, int32_t bitsPerSecond);

// One block: SOH, number, 255 - number, 128 data bytes (cut or padded with 0x1A), CRC high byte first.
TBytes BuildXModemBlock(uint8_t number, std::span<const uint8_t> data);

class XModemProtocol : public TProtocol {
 public:
  XModemProtocol();

  // Runs the exchange and releases the link. On success the buffer (resized to 65,536 bytes) is filled
  // with 0xFF and the reply's header and declared payload are copied to its start. True when the reply is
  // whole and longer than 6 bytes; a shorter whole reply is in the buffer all the same (ReplyArrived).
  bool Request(std::span<const uint8_t> request, TBytes& buffer) override;
  void SendRaw(std::span<const uint8_t> bytes) override;
  std::string ReadRawByte() override;
  // Request block with the ready wait, retries and the EOT hand-shake; raises on failure.
  void SendFrame(std::span<const uint8_t> request) override;
  // Reply blocks until EOT; raises on failure.
  void ReceiveFrame(TBytes& reply) override;

  // Up to 401 × (CheckLink, a waiting byte or WaitData(20)); raises EReadExcept "Ошибка чтения байта".
  uint8_t ReadByteTimed();

 protected:
  // The reply must be a whole maker message.
  void CheckReply(const TBytes& reply) override;
  // One request block and one reply block, until the first reply block declares the length.
  int64_t ExchangeBudgetMs() const override;

 private:
  enum class TBlockResult { Retry, Accepted, Repeated };

  // After the first reply block: the declared length must fit the buffer; the deadline follows it.
  void TakeDeclaredLength(const TBytes& reply);
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
  // After an accepted block: true on SOH (next block), false on EOT (reply complete); closes the held
  // link and raises when neither comes.
  bool WaitNextBlock();
  // The reads after a block: true on SOH, false on EOT, nullopt when neither came.
  std::optional<bool> ReadBlockEnd();
  // Closes the line through the hold mark (Release closes only while it is set).
  void CloseHeldLink();

  TCrc16Xmodem crc_;
  size_t declaredBlocks_ = 0;
};

}  // namespace orvela
