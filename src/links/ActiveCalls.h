#pragma once
// The wake-up calls in progress, one per GSM modem port: an inbound GPRS link adds its call here before
// it opens the port, so two links never dial on the same modem at once, and the request queue keeps a
// dial-up modem connection off while any wake-up call runs.
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace orvela {

class TActiveCalls {
 public:
  // Adds the caller's call on the port unless another call holds that port: then nothing is added and
  // the other call's number comes back. Check and add are one step.
  std::optional<std::string> TryAdd(const void* caller, const std::string& port, const std::string& number);
  void Remove(const void* caller);
  bool Empty() const;

 private:
  struct TCall {
    const void* caller;
    std::string port;
    std::string number;
  };
  mutable std::mutex mutex_;
  std::vector<TCall> calls_;
};

// The list every inbound link of the process shares.
TActiveCalls& ProcessActiveCalls();

}  // namespace orvela
