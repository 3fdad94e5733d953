#include "links/ConnectionDevice.h"

#include <array>
#include <atomic>

#include "platform/JournalSink.h"

namespace orvela {
namespace {

constexpr std::array<uint8_t, 3> kEchoProbe = {0xFF, 0xFF, 0xFF};
// The idle prompt of the maker's meters ("C", ready to receive).
constexpr uint8_t kMeterPrompt = 0x43;
// Time the probe's bytes have to come back; converters and radio modems may take hundreds of ms.
constexpr int64_t kEchoWaitMs = 2000;
constexpr int64_t kEchoSettleMs = 100;
constexpr int kEchoDropWaits = 300;
constexpr int kEchoDropPolls = 100;

// Several links of one connection share the settings record, so its echo fields are written atomically.
int32_t LoadShared(const int32_t& field) {
  return std::atomic_ref<int32_t>(const_cast<int32_t&>(field)).load();
}
void StoreShared(int32_t& field, int32_t value) {
  std::atomic_ref<int32_t>(field).store(value);
}

}  // namespace

std::string HexByte(uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[byte >> 4], kDigits[byte & 0x0F]};
}

std::string SentTraceText(std::span<const uint8_t> bytes) {
  std::string text = "[";
  for (uint8_t b : bytes) {
    text += ' ';
    text += HexByte(b);
  }
  text += "](" + std::to_string(bytes.size()) + ")";
  return text;
}

TConnectionDevice::TConnectionDevice(TConnSettings* settings, Clock& clock)
    : settings_(settings), clock_(clock) {}

TConnectionDevice::~TConnectionDevice() = default;

bool TConnectionDevice::CheckLink() {
  return false;
}
bool TConnectionDevice::SetAddress(const std::string&) {
  return false;
}
void TConnectionDevice::Release() {}
int TConnectionDevice::InCount() {
  return 0;
}
int TConnectionDevice::OutCount() {
  return 0;
}
bool TConnectionDevice::Connect() {
  return false;
}
void TConnectionDevice::DropClient() {}
void TConnectionDevice::PurgeInput() {}
void TConnectionDevice::PurgeOutput() {}
uint8_t TConnectionDevice::ReadByte() {
  return 0;
}
bool TConnectionDevice::SetHold(bool) {
  return false;
}
bool TConnectionDevice::WaitData(int) {
  return false;
}
void TConnectionDevice::Send(std::span<const uint8_t>) {}
void TConnectionDevice::AttachThread(ILinkOwner*) {}
int TConnectionDevice::ReportFailure(int) {
  return 0;
}
int TConnectionDevice::SetLineParam(int, int) {
  return 0;
}
std::string TConnectionDevice::LastErrorText() {
  return "НЕТ";
}

int32_t TConnectionDevice::EchoFlag() const {
  return settings_ ? LoadShared(settings_->EchoFlag) : 0;
}
int32_t TConnectionDevice::EchoTested() const {
  return settings_ ? LoadShared(settings_->EchoTested) : 0;
}

void TConnectionDevice::SetEchoFields(int32_t flag, int32_t tested) {
  if (!settings_) return;
  StoreShared(settings_->EchoFlag, flag);
  StoreShared(settings_->EchoTested, tested);
}

void RunInOwner(ILinkOwner* owner, const std::function<void()>& fn) {
  if (owner != nullptr)
    owner->Synchronize(fn);
  else
    fn();
}

void TConnectionDevice::LogLine(const std::string& text) {
  if (!order_) return;
  IChannelLog* order = order_;
  RunInOwner(owner_, [order, &text] { order->LogLine(text); });
}

void TConnectionDevice::TraceReceived(uint8_t byte) {
  lastByte_ = byte;
  if (!order_ || !order_->TraceOn()) return;
  IChannelLog* order = order_;
  RunInOwner(owner_, [order, byte] { order->LogTraceItem(HexByte(byte)); });
}

void TConnectionDevice::TraceSent(std::span<const uint8_t> bytes) {
  lastSent_.assign(bytes.begin(), bytes.end());
  if (!order_ || !order_->TraceOn()) return;
  IChannelLog* order = order_;
  std::string text = SentTraceText(bytes);
  RunInOwner(owner_, [order, &text] { order->LogTraceStart(text); });
}

void TConnectionDevice::EchoTest() {
  if (!settings_ || EchoTested() != 0) return;
  // A meter waiting for a request sends "C" on its own timer; what came before the probe is not its answer.
  PurgeInput();
  Send(kEchoProbe);
  TEchoAnswer answer = CollectEchoAnswer();
  // The line may go on delivering prompts, or a reaction to the probe: none of it is a reply.
  clock_.Sleep(kEchoSettleMs);
  PurgeInput();
  bool echo = answer.probeBytes == kEchoProbe.size();
  if (!echo && answer.probeBytes + answer.foreignBytes > 0) {
    // A partial or foreign answer is worth a look: the line mangles what it carries.
    std::string text = "Эхо-тест: получено " + std::to_string(answer.probeBytes + answer.foreignBytes) +
                       " байт из 3 - эха нет";
    LogLine(text);
    JournalLine(text, settings_->Key.ConnName);
  }
  SetEchoFields(echo ? 1 : 0, 1);
}

bool TConnectionDevice::WaitOnePoll() {
  int64_t before = clock_.TickMs();
  if (WaitData(1)) return true;
  // A link that answers at once without waiting must not turn the caller's deadline loop into a spin.
  if (clock_.TickMs() == before) clock_.Sleep(1);
  return false;
}

TConnectionDevice::TEchoAnswer TConnectionDevice::CollectEchoAnswer() {
  TEchoAnswer answer;
  int64_t deadline = clock_.TickMs() + kEchoWaitMs;
  try {
    // Stops at the first byte that is neither a prompt nor the probe's next byte: the answer is no echo.
    while (answer.probeBytes < kEchoProbe.size() && answer.foreignBytes == 0 && clock_.TickMs() < deadline) {
      if (InCount() <= 0 && !WaitOnePoll()) continue;
      while (InCount() > 0 && answer.probeBytes < kEchoProbe.size() && answer.foreignBytes == 0) {
        uint8_t byte = ReadByte();
        if (byte == kEchoProbe[answer.probeBytes])
          ++answer.probeBytes;
        else if (byte == kMeterPrompt)
          ++answer.prompts;
        else
          ++answer.foreignBytes;
      }
    }
  } catch (const EConnectExcept&) {
    throw;  // a lost connection says nothing about the line's echo: the next connect probes again
  } catch (const std::exception&) {
    answer.probeBytes = 0;  // a read that fails makes the line count as not echoing
  }
  return answer;
}

size_t TConnectionDevice::DropEcho(size_t n) {
  size_t dropped = 0;
  for (int i = 0; i < kEchoDropWaits && dropped < n; ++i) {
    if (InCount() <= 0) WaitData(kEchoDropPolls);
    while (dropped < n && InCount() > 0) {
      ReadByte();
      ++dropped;
    }
  }
  if (dropped < n)
    LogLine("Эхо получено не полностью: " + std::to_string(dropped) + " байт из " + std::to_string(n));
  return dropped;
}

}  // namespace orvela
