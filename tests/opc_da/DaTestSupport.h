#pragma once
// An in-process DA client's world: a simulated Tarvel 2001 meter on a TCP line, a tree that describes it
// as its driver does, a running engine with real readers, and the DA class factory over them. The test
// thread is the main thread of the main apartment, as the server host's is.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
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
#include "opc_da/DaServerClass.h"
#include "platform/MainThread.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComRuntime.h"
#include "platform/com/ComText.h"
#include "platform/com/ComVariant.h"
#include "platform/com/opc/OpcDa.h"
#include "platform/com/opc/OpcError.h"
#include "platform/com/opc/OpcSinks.h"
#include "support/MeterTree.h"

namespace orvela::test {

inline constexpr const char* kDaSerial = "12345678";
inline const TDateTime kDaStart = EncodeDateTime(2024, 3, 2, 10, 20);
// Clock time runs this much faster: a 2 s update rate takes 50 ms.
inline constexpr double kDaClockScale = 40;

// Frees task memory the server handed out.
template <class T>
struct TTaskMem {
  T* p = nullptr;
  TTaskMem() = default;
  TTaskMem(const TTaskMem&) = delete;
  TTaskMem& operator=(const TTaskMem&) = delete;
  ~TTaskMem() { CoTaskMemFree(p); }
  T** Put() { return &p; }
  T& operator[](size_t i) const { return p[i]; }
};

class TDaCatalog final : public IConnectionCatalog {
 public:
  TConnSettings* FindSettings(const TConnKey&) override { return &settings; }
  IChannelLog* FindOrder(const TConnKey&) override { return nullptr; }
  TConnSettings settings;
};

// What a client's data callback received, one entry per item (a cancel: one entry without item).
struct TDaDelivery {
  enum TKind { Change, Read, Write, Cancel } kind;
  DWORD tx;
  OPCHANDLE group;
  OPCHANDLE client;
  WORD quality;
  double value;
  HRESULT error;
  size_t call = 0;        // which callback brought it, counted from 1
  VARTYPE vt = VT_EMPTY;  // the value's type as delivered
};

class TDataSink final : public TOpcDataSink {
 public:
  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD tx, OPCHANDLE group, HRESULT, HRESULT, DWORD count,
                                         OPCHANDLE* handles, VARIANT* values, WORD* qualities, FILETIME*,
                                         HRESULT* errors) override {
    Record(TDaDelivery::Change, tx, group, count, handles, values, qualities, errors);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD tx, OPCHANDLE group, HRESULT, HRESULT, DWORD count,
                                           OPCHANDLE* handles, VARIANT* values, WORD* qualities, FILETIME*,
                                           HRESULT* errors) override {
    Record(TDaDelivery::Read, tx, group, count, handles, values, qualities, errors);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD tx, OPCHANDLE group, HRESULT, DWORD count,
                                            OPCHANDLE* handles, HRESULT* errors) override {
    Record(TDaDelivery::Write, tx, group, count, handles, nullptr, nullptr, errors);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD tx, OPCHANDLE group) override {
    std::lock_guard lock(mutex_);
    deliveries_.push_back({TDaDelivery::Cancel, tx, group, 0, 0, 0, S_OK, ++calls_});
    return S_OK;
  }

  std::vector<TDaDelivery> Deliveries() const {
    std::lock_guard lock(mutex_);
    return deliveries_;
  }
  size_t Count() const {
    std::lock_guard lock(mutex_);
    return deliveries_.size();
  }

 private:
  void Record(TDaDelivery::TKind kind, DWORD tx, OPCHANDLE group, DWORD count, const OPCHANDLE* handles,
              const VARIANT* values, const WORD* qualities, const HRESULT* errors) {
    std::lock_guard lock(mutex_);
    ++calls_;
    for (DWORD i = 0; i < count; ++i) {
      double value = 0;
      if (values) {
        TComVariant v;
        if (SUCCEEDED(VariantChangeType(&v, &values[i], 0, VT_R8))) value = v.dblVal;
      }
      deliveries_.push_back({kind, tx, group, handles[i], qualities ? qualities[i] : WORD{0}, value,
                             errors[i], calls_, values ? values[i].vt : VARTYPE{VT_EMPTY}});
    }
  }
  mutable std::mutex mutex_;
  size_t calls_ = 0;
  std::vector<TDaDelivery> deliveries_;
};

// One item definition for AddItems / ValidateItems.
struct TItemDef {
  std::u16string id;
  OPCHANDLE client = 0;
  VARTYPE type = VT_EMPTY;
  BOOL active = TRUE;
  BYTE* blob = nullptr;
};

struct TAddResult {
  HRESULT hr = E_FAIL;
  std::vector<HRESULT> errors;
  std::vector<OPCITEMRESULT> results;
};

class DaServerFixture : public ::testing::Test {
 protected:
  DaServerFixture() : clock(kDaClockScale, kDaStart), line(sim::TLineOptions{.clock = &clock}) {
    SetSystemClock(&clock);  // the links the factory makes wait on it
    line.AddDevice(sim::MakeDevice("tarvel2001", 1, kDaSerial));
    line.ListenTcp();
    catalog.settings.EchoTested = 1;  // the line does not echo
    key = TcpKey("Котельная", line.Port());
    catalog.settings.Key = key;
    settings = TSettings::Defaults();
    settings.ReaderThreads = 2;
    settings.QueuePauseMs = 500;
    settings.StartPauseMs = 0;
    settings.JournalEveryRequest = false;
    settings.ChannelLog = false;
    reading.Engine().SetSettings(settings);
    MainThread::Attach();
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the main apartment
    liveBefore = ComLiveObjects();
  }
  ~DaServerFixture() override {
    factory.Reset();
    CoUninitialize();
    MainThread::Detach();
    line.Stop();
    SetSystemClock(nullptr);
  }

  static TConnKey TcpKey(const std::string& name, uint16_t port) {
    TConnKey k;
    k.ConnName = name;
    k.ConnType = static_cast<uint8_t>(TConnKind::TcpClient);
    k.ProtType = static_cast<uint8_t>(TProtKind::XModem);
    k.IP_Addr = "127.0.0.1";
    k.IP_Port = port;
    k.LinkAddress = BuildLinkAddress(k);
    return k;
  }

  // A Tarvel 2001 device on the connection with current-value parameters, described by its driver;
  // returns the parameter nodes. Devices are added before the first server object starts the engine.
  std::vector<TNTreeData*> AddMeter(const TConnKey& connection, std::initializer_list<uint8_t> params,
                                    const std::string& name = "ТАРВЕЛ мод.2001") {
    TNTreeData* device = tree.AddChildNamed(tree.Root(), name);
    device->Kind = nkDevice;
    device->Address = 1;
    device->ModelCode = mcTarvel2001;
    device->Serial = kDaSerial;
    TTCPConnectionPort spare;
    auto model = TTarvelFactory::CreateModel(mcTarvel2001, connection, nullptr, &spare, {});
    std::vector<TNTreeData*> leaves;
    for (uint8_t param : params)
      leaves.push_back(
          test::AddDescribedPath(tree, device, {uint8_t{tidData}, uint8_t{tidCurrent}, param}, *model));
    TTree::SetConnectionKey(device, connection);
    tree.ShowTree(tree.Root(), nullptr, nullptr);
    tree.Renumber();
    return leaves;
  }

  IClassFactory& Factory() {
    if (!factory) factory = MakeDaServerFactory(ctx);
    return *factory.Get();
  }
  TComPtr<IOPCServer> NewServer() {
    TComPtr<IOPCServer> server;
    EXPECT_EQ(Factory().CreateInstance(nullptr, IID_IOPCServer, server.PutVoid()), S_OK);
    return server;
  }

  struct TGroup {
    HRESULT hr = E_FAIL;
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    TComPtr<IUnknown> unk;
    template <class I>
    TComPtr<I> As() const {
      TComPtr<I> out;
      EXPECT_EQ(unk.As(out), S_OK);
      return out;
    }
  };
  static TGroup AddGroup(IOPCServer* server, const std::u16string& name, DWORD rate = 2000,
                         BOOL active = FALSE, OPCHANDLE clientGroup = 1, LONG* bias = nullptr) {
    TGroup g;
    g.hr = server->AddGroup(name.c_str(), active, rate, clientGroup, bias, nullptr, 0, &g.handle, &g.revised,
                            IID_IUnknown, g.unk.Put());
    return g;
  }

  static TAddResult AddItems(IOPCItemMgt* mgt, const std::vector<TItemDef>& defs, bool validate = false) {
    std::vector<OPCITEMDEF> items(defs.size());
    for (size_t i = 0; i < defs.size(); ++i) {
      items[i] = OPCITEMDEF{};
      items[i].szAccessPath = const_cast<LPWSTR>(u"");
      items[i].szItemID = const_cast<LPWSTR>(defs[i].id.c_str());
      items[i].bActive = defs[i].active;
      items[i].hClient = defs[i].client;
      items[i].vtRequestedDataType = defs[i].type;
      items[i].pBlob = defs[i].blob;
      items[i].dwBlobSize = defs[i].blob ? 4 : 0;
    }
    TTaskMem<OPCITEMRESULT> results;
    TTaskMem<HRESULT> errors;
    TAddResult out;
    const DWORD n = static_cast<DWORD>(defs.size());
    out.hr = validate ? mgt->ValidateItems(n, items.data(), FALSE, results.Put(), errors.Put())
                      : mgt->AddItems(n, items.data(), results.Put(), errors.Put());
    if (errors.p)
      for (size_t i = 0; i < defs.size(); ++i) {
        out.errors.push_back(errors[i]);
        out.results.push_back(results[i]);
      }
    return out;
  }

  static std::u16string Id(const TNTreeData* node) { return Utf8ToUtf16(node->Path); }

  static DWORD Advise(const TGroup& group, TDataSink& sink) {
    auto points = group.As<IConnectionPointContainer>();
    TComPtr<IConnectionPoint> point;
    EXPECT_EQ(points->FindConnectionPoint(IID_IOPCDataCallback, point.Put()), S_OK);
    DWORD cookie = 0;
    EXPECT_EQ(point->Advise(sink.Identity(), &cookie), S_OK);
    return cookie;
  }

  // Pumps the main thread (the sink's calls arrive through it) until done() holds.
  static bool PumpUntil(const std::function<bool()>& done) { return MainThread::PumpUntil(done, 3'600'000); }
  // Pumps through the given number of update periods of clock time.
  void PumpPeriods(int periods, DWORD rate = 2000) {
    const int64_t until = clock.TickMs() + int64_t{periods} * rate;
    PumpUntil([&] { return clock.TickMs() > until; });
  }

  ScaledClock clock;
  sim::TLine line;
  TDaCatalog catalog;
  TConnKey key;
  TSettings settings;
  TTree tree;
  TRecordingLogs logs;
  IEngineHost host;
  TReadingEngine reading{tree, logs, clock, host, &catalog};
  TServerContext ctx{tree, reading.Engine(), logs, clock};
  int64_t liveBefore = 0;
  TComPtr<IClassFactory> factory;
};

}  // namespace orvela::test
