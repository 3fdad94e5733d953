#pragma once
// An HDA client's world for the server tests: a simulated Tarvel 2001 meter on a TCP line, a device tree
// describing it as its driver does, the engine with its real readers, the server context, and a client
// in the main apartment with a data-callback sink that records what it is told.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "drivers/Tarvel2001Nodes.h"
#include "drivers/TarvelFactory.h"
#include "engine/AsyncReadRaw.h"
#include "engine/EngineTestSupport.h"
#include "engine/ServerContext.h"
#include "links/TcpConnectionPort.h"
#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "metersim/Values.h"
#include "opc_hda/HdaServerClass.h"
#include "platform/MainThread.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComRuntime.h"
#include "platform/com/ComVariant.h"
#include "platform/com/opc/OpcError.h"
#include "platform/com/opc/OpcHda.h"
#include "platform/com/opc/OpcSinks.h"

namespace orvela::test {

inline constexpr const char* kHdaSerial = "12345678";
inline constexpr uint8_t kHdaParam = 0x00;
// Hour index of this moment modulo the hourly ring (72) is 34: the ring's wrap lies a day and a half back.
inline const TDateTime kHdaStart = EncodeDateTime(2024, 3, 2, 10, 20);

// One OPCHDA_ITEM as the client keeps it.
struct THdaItemCopy {
  OPCHANDLE client = 0;
  std::vector<FILETIME> times;
  std::vector<DWORD> qualities;
  std::vector<TVariant> values;
};
THdaItemCopy CopyItem(const OPCHDA_ITEM& item);
// Frees what a synchronous read handed out, as a client does.
void FreeItems(OPCHDA_ITEM* items, DWORD count);

struct THdaDelivery {
  DWORD transaction = 0;
  HRESULT status = S_OK;
  THdaItemCopy item;
  HRESULT error = S_OK;
};
struct THdaAttributeDelivery {
  DWORD transaction = 0;
  OPCHANDLE client = 0;
  std::vector<DWORD> ids;
  std::vector<HRESULT> errors;
  std::vector<TVariant> values;
};

// Records every callback; runs on the main thread (the readers reach it through proxies).
class THdaClientSink final : public TOpcHdaDataSink {
 public:
  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD tx, HRESULT status, DWORD n, OPCHDA_ITEM* items,
                                         HRESULT* errors) override {
    Record(changes_, tx, status, n, items, errors);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD tx, HRESULT status, DWORD n, OPCHDA_ITEM* items,
                                           HRESULT* errors) override {
    Record(reads_, tx, status, n, items, errors);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnReadAttributeComplete(DWORD tx, HRESULT, OPCHANDLE client, DWORD n,
                                                    OPCHDA_ATTRIBUTE* values, HRESULT* errors) override;
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD cancelId) override {
    std::lock_guard lock(mutex_);
    cancels_.push_back(cancelId);
    return S_OK;
  }

  std::vector<THdaDelivery> Reads() const { return Copy(reads_); }
  std::vector<THdaDelivery> Changes() const { return Copy(changes_); }
  std::vector<THdaAttributeDelivery> Attributes() const {
    std::lock_guard lock(mutex_);
    return attributes_;
  }
  std::vector<DWORD> Cancels() const {
    std::lock_guard lock(mutex_);
    return cancels_;
  }

 private:
  void Record(std::vector<THdaDelivery>& list, DWORD tx, HRESULT status, DWORD n, OPCHDA_ITEM* items,
              HRESULT* errors) {
    std::lock_guard lock(mutex_);
    for (DWORD i = 0; i < n; ++i) list.push_back({tx, status, CopyItem(items[i]), errors[i]});
  }
  std::vector<THdaDelivery> Copy(const std::vector<THdaDelivery>& list) const {
    std::lock_guard lock(mutex_);
    return list;
  }
  mutable std::mutex mutex_;
  std::vector<THdaDelivery> reads_, changes_;
  std::vector<THdaAttributeDelivery> attributes_;
  std::vector<DWORD> cancels_;
};

// The records a window of one archive should give: period indices from start up to (not including) end
// that the meter's ring holds now.
std::vector<int64_t> ExpectedIndices(sim::EPeriod period, int ringSize, TDateTime now, TDateTime start,
                                     TDateTime end);
// Checks a delivered item against the simulator's archive.
void ExpectArchive(const THdaItemCopy& item, sim::EPeriod period, const std::vector<int64_t>& indices);

OPCHDA_TIME AbsoluteTime(TDateTime local);

class HdaServerTest : public ::testing::Test {
 protected:
  HdaServerTest();
  ~HdaServerTest() override;

  // A server object made by the class factory, as its IOPCHDA_Server.
  TComPtr<IOPCHDA_Server> CreateServer();
  // Advises a new sink on the server's data-callback point.
  TComPtr<THdaClientSink> AdviseSink(IOPCHDA_Server* server);
  // Pumps the main thread until done() holds; false when it never did within a generous guard.
  template <class Done>
  bool PumpUntil(Done done) {
    return MainThread::PumpUntil(done, kGuardMs);
  }
  OPCHANDLE Handle(TNTreeData* node) const { return static_cast<OPCHANDLE>(node->Handle); }

  static constexpr int64_t kGuardMs = 20 * 60 * 1000;  // clock time: 30 s real at the test's pace
  ScaledClock clock;
  sim::TLine line;
  TConnKey key;
  TTree tree;
  TRecordingLogs logs;
  IEngineHost host;
  class TCatalog final : public IConnectionCatalog {
   public:
    TConnSettings* FindSettings(const TConnKey&) override { return &settings; }
    IChannelLog* FindOrder(const TConnKey&) override { return nullptr; }
    TConnSettings settings;
  } catalog;
  TNTreeData* hourly = nullptr;
  TNTreeData* daily = nullptr;
  std::unique_ptr<TReadingEngine> reading;
  std::unique_ptr<TServerContext> ctx;
  TComPtr<IClassFactory> factory;

 private:
  TNTreeData* AddLeaf(TNTreeData* device, std::initializer_list<uint8_t> path, TDataModel& model);
};

}  // namespace orvela::test
