#include "engine/InboundHost.h"

#include <algorithm>
#include <cstdlib>

#include "links/ActiveCalls.h"

namespace orvela {

bool HasInboundConnections(const TConnectionList& list) {
  return std::any_of(list.Rows.begin(), list.Rows.end(), [](const TConnRow& row) {
    std::optional<TConnKey> key = ConnKeyFromRow(row);
    return key && key->ConnType == static_cast<uint8_t>(TConnKind::InboundGprs);
  });
}

TListenerOptions InboundListenerOptions(const TSettings& settings, const std::filesystem::path& folder) {
  TListenerOptions options;
  if (settings.TcpPort > 0 && settings.TcpPort <= 65535)
    options.port = static_cast<uint16_t>(settings.TcpPort);
  if (const char* bind = std::getenv(kGprsBindVariable)) options.bindAddress = bind;
  options.logFolder = folder;
  options.channelLog = settings.ChannelLog;
  int64_t minutes = settings.GprsWaitMinutes > 0 ? settings.GprsWaitMinutes : 2;
  options.gprsWaitMs = minutes * 60'000;
  // A modem no link took within a whole wait is nobody's: it is let go, so the table stays bounded.
  options.unclaimedMs = std::max<int64_t>(options.gprsWaitMs, 2 * 60'000);
  return options;
}

bool TInboundHost::Start(const TListenerOptions& options) {
  Stop();
  listener_ = std::make_shared<TAsyncTCP>(options);
  bool listening = listener_->Start();
  // A listener that could not listen is still the current one: the inbound links then report that no
  // modem came, instead of looking for one in another process's table.
  TAsyncTCP::SetCurrent(listener_);
  return listening;
}

void TInboundHost::StartFor(const TConnectionList& list, const TSettings& settings,
                            const std::filesystem::path& folder) {
  if (HasInboundConnections(list)) Start(InboundListenerOptions(settings, folder));
}

void TInboundHost::Stop() {
  if (!listener_) return;
  if (TAsyncTCP::Current() == listener_) TAsyncTCP::SetCurrent(nullptr);
  listener_->Stop();
  listener_.reset();
}

bool TInboundHost::InboundCallsActive() const {
  return !ProcessActiveCalls().Empty();
}

}  // namespace orvela
