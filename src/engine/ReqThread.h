#pragma once
// The configuration-reading thread: auto-configuration of connections (mode 1) or the configuration of
// listed devices (mode 2), off the window's thread. Its status text and progress are what the window
// shows; a stop request cancels the controller's work at its next device or node.
#include <condition_variable>
#include <mutex>
#include <vector>

#include "engine/CancelligThread.h"
#include "engine/TreeTarvelController.h"
#include "platform/Clock.h"

namespace orvela {

constexpr int kModeAutoConfigure = 1;
constexpr int kModeReadDevices = 2;
// The last status stays this long before the thread ends.
constexpr int64_t kFinalStatusPauseMs = 500;

class TReqThread final : public TCancelligThread {
 public:
  // Mode 1: the connections are scanned. Mode 2: each device is read in turn (callerMode as the
  // controller takes it).
  TReqThread(TTreeTarvelController& controller, Clock& clock, std::vector<TConnKey> connections);
  TReqThread(TTreeTarvelController& controller, Clock& clock, std::vector<TNTreeData*> devices,
             int callerMode = kCallerNewDevice);
  ~TReqThread() override;

  int Mode() const { return mode_; }
  // Waits until the work is done (without asking it to stop).
  void Wait();
  // Mode 1: devices added. Mode 2: outcome of each device, in order.
  size_t Added() const { return added_; }
  std::vector<int> Outcomes() const;

 protected:
  void Execute(std::stop_token stop) override;

 private:
  void ReadDevices(std::stop_token stop);
  void Done();

  TTreeTarvelController& controller_;
  Clock& clock_;
  int mode_;
  int callerMode_ = kCallerNewDevice;
  std::vector<TConnKey> connections_;
  std::vector<TNTreeData*> devices_;
  std::atomic<size_t> added_{0};
  mutable std::mutex mutex_;
  std::condition_variable doneSignal_;
  bool done_ = false;
  std::vector<int> outcomes_;
};

}  // namespace orvela
