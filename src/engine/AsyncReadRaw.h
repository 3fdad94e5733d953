#pragma once
// The reader thread: serves one connection order's work list over one connection, through the device
// drivers, and returns what it read to the clients. The launcher starts one per order and joins them all
// when the engine stops.
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "drivers/TarvelFactory.h"
#include "engine/CancelligThread.h"
#include "engine/UReqOrder.h"

namespace orvela {

// Connect attempts that end in a link error before the run counts as a failed connection.
constexpr int kConnectErrorAttempts = 3;

// Makes the link a reader opens for its order's connection; the device factory's by default.
using TLinkMaker = std::function<std::unique_ptr<TConnectionDevice>(const TConnKey&, IConnectionCatalog*)>;
TLinkMaker FactoryLinks();

class TAsyncReadRaw final : public TCancelligThread {
 public:
  TAsyncReadRaw(TAsyncEngine& engine, TConnOrder& order, IConnectionCatalog* catalog,
                TLinkMaker makeLink = FactoryLinks());
  ~TAsyncReadRaw() override;

 protected:
  void Execute(std::stop_token stop) override;

 private:
  enum class TConnectState { NotTried, Connected, Failed };
  bool Stopping(std::stop_token stop) const;
  void Journal(const std::string& text, const std::string& second = {});
  bool OpenLink();
  void Connect(const TDescThread& item, std::stop_token stop);
  // False when the engine stopped before the item was read (it stays in the work list).
  bool ServeItem(TDescThread& item, std::stop_token stop);
  // The read stage: a failure in it is journalled and the item still answered.
  void ReadItem(TDescThread& item, TPrbArray& list);
  // Returns a single item or each sub-item of a group and finishes it, whatever the return raises.
  void ReturnEach(TDescThread& item, const std::function<HRESULT(TDescThread&)>& returnOne);
  std::unique_ptr<TDataModel> PrepareModel(TDescThread& item, TPribor*& record);
  void CheckDevice(TDataModel& model, TPribor& record, const TDescThread& item);
  void ReadHda(TDataModel& model, TPribor* record, TDescThread& item, TPrbArray& list);
  void ReadDa(TDataModel& model, TDescThread& item, TPrbArray& list);
  void ReturnHda(TDescThread& item, const TPrbArray& list);
  void ReturnDa(TDescThread& item, const TPrbArray& list);
  HRESULT CallHda(TDescThread& item, TResultsHDA& result);
  HRESULT CallDa(TDescThread& item, TResultsDA& result);

  TAsyncEngine& engine_;
  TEngineContext& ctx_;
  TConnOrder& order_;
  IConnectionCatalog* catalog_;
  TLinkMaker makeLink_;
  std::unique_ptr<TConnectionDevice> link_;
  TConnectState connect_ = TConnectState::NotTried;
  bool offline_ = false;  // a run for a delayed order: no connection, answers without the device
  TPribor* current_ = nullptr;
  TDateTime readDone_ = 0;   // UTC
  TDateTime itemStart_ = 0;  // UTC
  std::vector<TDateArrayCell*> archiveDates_;
};

// The production launcher: one reader thread per started order, all joined by StopAll.
class TAsyncReaders final : public IReaderLauncher {
 public:
  // catalog: the configured connections the links take their settings from (may be null).
  explicit TAsyncReaders(IConnectionCatalog* catalog = nullptr, TLinkMaker makeLink = FactoryLinks())
      : catalog_(catalog), makeLink_(std::move(makeLink)) {}
  ~TAsyncReaders() override;
  // The engine the readers work for; set before its first start.
  void Attach(TAsyncEngine& engine) { engine_ = &engine; }
  void StartReader(TConnOrder& order) override;
  void StopAll() override;

 private:
  void Reap();
  TAsyncEngine* engine_ = nullptr;
  IConnectionCatalog* catalog_;
  TLinkMaker makeLink_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<TAsyncReadRaw>> readers_;
};

// An engine with the production readers attached: what a server object holds. The readers outlive the
// engine, whose stop joins them.
class TReadingEngine {
 public:
  TReadingEngine(TTree& tree, IEngineLogs& logs, Clock& clock, IEngineHost& host,
                 IConnectionCatalog* catalog = nullptr, TLinkMaker makeLink = FactoryLinks())
      : readers_(catalog, std::move(makeLink)), engine_(tree, readers_, logs, clock, host) {
    readers_.Attach(engine_);
  }
  TAsyncEngine& Engine() { return engine_; }

 private:
  TAsyncReaders readers_;
  TAsyncEngine engine_;
};

}  // namespace orvela
