#pragma once
// A small device tree, recording logs and a fake reader for the engine's tests.
#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/UReqOrder.h"
#include "platform/Clock.h"
#include "tree/TreeItem.h"

namespace orvela::test {

// A manual clock that keeps UTC, as the real one does: local time repeats an hour at the autumn change
// and skips one in spring. Moves only when advanced or slept on.
class TUtcManualClock final : public Clock {
 public:
  explicit TUtcManualClock(TDateTime startLocal) : utc_(LocalToUtc(startLocal)) {}
  TDateTime Now() const override { return UtcToLocal(NowUtc()); }
  TDateTime NowUtc() const override {
    std::lock_guard lock(mutex_);
    return utc_ + elapsedMs_ / kMsPerDay;
  }
  int64_t TickMs() const override {
    std::lock_guard lock(mutex_);
    return elapsedMs_;
  }
  bool Sleep(int64_t ms, std::stop_token stop = {}) override {
    if (stop.stop_requested()) return false;
    Advance(ms < 0 ? 0 : ms);
    return true;
  }
  int RealWaitMs(int64_t) const override { return 0; }
  void Advance(int64_t ms) {
    std::lock_guard lock(mutex_);
    elapsedMs_ += ms;
  }
  void Set(TDateTime local) { SetUtc(LocalToUtc(local)); }
  void SetUtc(TDateTime utc) {
    std::lock_guard lock(mutex_);
    utc_ = utc;
    elapsedMs_ = 0;
  }

 private:
  mutable std::mutex mutex_;
  TDateTime utc_;
  int64_t elapsedMs_ = 0;
};

class TRecordingLogs final : public IEngineLogs {
 public:
  void Journal(const std::string& message, const std::string&) override { Add(journal_, message); }
  void WorkLog(const std::string& text) override { Add(work_, text); }
  void OrderLog(const std::string& text) override { Add(order_, text); }
  std::vector<std::string> Journal() const { return Copy(journal_); }
  std::vector<std::string> Work() const { return Copy(work_); }
  int JournalCount(const std::string& fragment) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(journal_.begin(), journal_.end(), [&](const std::string& s) {
      return s.find(fragment) != std::string::npos;
    }));
  }

 private:
  void Add(std::vector<std::string>& list, const std::string& text) {
    std::lock_guard lock(mutex_);
    list.push_back(text);
  }
  std::vector<std::string> Copy(const std::vector<std::string>& list) const {
    std::lock_guard lock(mutex_);
    return list;
  }
  mutable std::mutex mutex_;
  std::vector<std::string> journal_, work_, order_;
};

// Records which orders got a reader; a test finishes a run with Complete, as a reader returning every
// item would.
class TFakeReaders final : public IReaderLauncher {
 public:
  void StartReader(TConnOrder& order) override {
    std::lock_guard lock(mutex_);
    started.push_back(&order);
    running.push_back(&order);
  }
  void StopAll() override {
    std::vector<TConnOrder*> left;
    {
      std::lock_guard lock(mutex_);
      left.swap(running);
    }
    for (TConnOrder* order : left) Finish(*order, TRunOutcome::NotTried, S_OK);
  }
  // Returns every work item of the order's run with the given callback result, then ends the run.
  void Complete(TConnOrder& order, TRunOutcome outcome, HRESULT hr = S_OK) {
    {
      std::lock_guard lock(mutex_);
      std::erase(running, &order);
    }
    Finish(order, outcome, hr);
  }
  std::vector<TConnOrder*> started;

 private:
  static void Finish(TConnOrder& order, TRunOutcome outcome, HRESULT hr) {
    {
      std::lock_guard lock(order.WorkMutex());
      for (auto& item : order.Work()) {
        for (auto& sub : item->SubItems) order.FinishItem(*sub, hr);
        order.FinishItem(*item, hr);
      }
      order.Work().clear();
    }
    order.EndRun(outcome);
  }
  std::mutex mutex_;
  std::vector<TConnOrder*> running;
};

inline TConnKey MakeKey(const std::string& name, TConnKind kind, const std::string& port = "COM1") {
  TConnKey key;
  key.ConnName = name;
  key.ConnType = static_cast<uint8_t>(kind);
  key.PortName = port;
  key.TelName = "123";
  key.IP_Addr = "10.0.0.1";
  key.IP_Port = 4001;
  key.LinkAddress = BuildLinkAddress(key);
  return key;
}

// Devices with one branch each: two plain parameters and two grouped ones.
struct TTestTree {
  struct TDevice {
    TNTreeData* device;
    TNTreeData* branch;
    TNTreeData* params[2];
    TNTreeData* grouped[2];
  };
  TTree tree;
  std::deque<TDevice> devices;  // references stay valid as devices are added

  TDevice& Add(const std::string& name, const TConnKey& key, const std::string& serial,
               uint8_t model = mcTarvel2001) {
    TDevice d{};
    d.device = tree.AddChildNamed(tree.Root(), name);
    d.device->Kind = nkDevice;
    d.device->ModelCode = model;
    d.device->Serial = serial;
    d.branch = tree.AddChildNamed(d.device, "Текущие");
    d.branch->Kind = nkBranch;
    for (int i = 0; i < 2; ++i) {
      d.params[i] = tree.AddChildNamed(d.branch, "P" + std::to_string(i));
      d.params[i]->Kind = nkParameter;
      d.grouped[i] = tree.AddChildNamed(d.branch, "G" + std::to_string(i));
      d.grouped[i]->Kind = nkGroupedParameter;
      d.grouped[i]->Address = static_cast<uint8_t>(10 - i);
    }
    TTree::SetConnectionKey(d.device, key);
    for (TNTreeData* n : {d.device, d.branch, d.params[0], d.params[1], d.grouped[0], d.grouped[1]})
      n->Serial = serial;
    tree.ShowTree(tree.Root(), nullptr, nullptr);
    tree.Renumber();
    devices.push_back(d);
    return devices.back();
  }
};

// An engine over a test tree whose queue cycles are driven by the test.
struct TEngineRig {
  explicit TEngineRig(TDateTime start = EncodeDateTime(2026, 3, 10, 12, 0, 0)) : clock(start) {
    settings = TSettings::Defaults();
    settings.ReaderThreads = 4;
    settings.JournalEveryRequest = false;
    settings.ChannelLog = false;
    engine.SetQueueThreadEnabled(false);
  }
  ~TEngineRig() {
    while (engine.Users() > 0) engine.FinalAsync();
  }
  void Start() {
    engine.SetSettings(settings);
    engine.InitAsync();
  }
  size_t WorkCount(size_t order) {
    std::lock_guard lock(engine.Order(order).WorkMutex());
    return engine.Order(order).Work().size();
  }
  TUtcManualClock clock;
  TTestTree t;
  TRecordingLogs logs;
  TFakeReaders readers;
  IEngineHost host;
  TSettings settings;
  TAsyncEngine engine{t.tree, readers, logs, clock, host};
};

}  // namespace orvela::test
