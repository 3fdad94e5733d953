#pragma once
// The inbound GPRS listener of a process that hosts the engine (the server, or orvelactl working on a
// folder no server holds): started for a configuration that has inbound GPRS connections, on the
// settings' "Порт TCP", and stopped (its thread joined) before the process takes down what it uses.
// The bind address comes from ORVELA_GPRS_BIND (numeric IPv4); every address when it is absent.
#include <filesystem>
#include <memory>

#include "engine/EngineContext.h"
#include "links/AsyncTCP.h"
#include "tree/ConnectionList.h"

namespace orvela {

constexpr const char* kGprsBindVariable = "ORVELA_GPRS_BIND";

// True when some row of the list is an inbound GPRS connection.
bool HasInboundConnections(const TConnectionList& list);
// The listener's options from the program settings and the environment.
TListenerOptions InboundListenerOptions(const TSettings& settings, const std::filesystem::path& folder);

class TInboundHost : public IEngineHost {
 public:
  ~TInboundHost() override { Stop(); }
  // Starts the process's listener and makes it the one the inbound links use; false when it could not
  // listen (journalled).
  bool Start(const TListenerOptions& options);
  // Starts it when the list has an inbound GPRS connection.
  void StartFor(const TConnectionList& list, const TSettings& settings, const std::filesystem::path& folder);
  void Stop();
  // A wake-up call is running (it holds a GSM modem port).
  bool InboundCallsActive() const override;
  TAsyncTCP* Listener() const { return listener_.get(); }

 private:
  std::shared_ptr<TAsyncTCP> listener_;
};

}  // namespace orvela
