#include "links/ConnectionDevice.h"

#include <array>
#include <atomic>

#include "platform/JournalSink.h"

namespace orvela {
namespace {

constexpr std::array<uint8_t, 3> kEchoProbe = {0xFF, 0xFF, 0xFF};
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
  for (uint8_t b : bytes) text += " " + HexByte(b);
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

void TConnectionDevice::RunInOwner(const std::function<void()>& fn) {
  if (owner_)
    owner_->Synchronize(fn);
  else
    fn();
}

void TConnectionDevice::LogLine(const std::string& text) {
  if (!order_) return;
  IChannelLog* order = order_;
  RunInOwner([order, &text] { order->LogLine(text); });
}

void TConnectionDevice::TraceReceived(uint8_t byte) {
  lastByte_ = byte;
  if (!order_ || !order_->TraceOn()) return;
  IChannelLog* order = order_;
  RunInOwner([order, byte] { order->LogTraceItem(HexByte(byte)); });
}

void TConnectionDevice::TraceSent(std::span<const uint8_t> bytes) {
  lastSent_.assign(bytes.begin(), bytes.end());
  if (!order_ || !order_->TraceOn()) return;
  IChannelLog* order = order_;
  std::string text = SentTraceText(bytes);
  RunInOwner([order, &text] { order->LogTraceStart(text); });
}

void TConnectionDevice::EchoTest() {
  if (!settings_ || EchoTested() != 0) return;
  Send(kEchoProbe);
  clock_.Sleep(100);
  WaitData(1000);
  InCount();
  clock_.Sleep(100);
  int count = InCount();
  int32_t echo = 0;
  if (count == static_cast<int>(kEchoProbe.size())) {
    try {
      bool same = true;
      for (uint8_t expected : kEchoProbe) same = (ReadByte() == expected) && same;
      echo = same ? 1 : 0;
      if (!same) LogLine("Эхо-тест: принятые байты не совпадают с посланными - эха нет");
    } catch (const std::exception&) {
      echo = 0;
    }
  } else if (count > 0) {
    // A partial or foreign answer must not be read later as the start of a reply.
    std::string text = "Эхо-тест: получено " + std::to_string(count) + " байт из 3 - эха нет";
    LogLine(text);
    JournalLine(text, settings_->Key.ConnName);
    PurgeInput();
  }
  SetEchoFields(echo, 1);
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
