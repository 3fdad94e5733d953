#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/MainThread.h"
#include "platform/com/ComRuntime.h"
#include "platform/com/ComTestSupport.h"

namespace orvela {
namespace {

using test::RegisterTestProxies;
using test::TApartmentScope;
using test::TEventSink;

inline constexpr CLSID CLSID_TestServer{
    0x2E6F0A51, 0x7C1D, 0x4A38, {0x8B, 0x20, 0x5D, 0x61, 0x0F, 0x9E, 0x44, 0x17}};

// Runs fn on a new thread inside an apartment of the given kind and waits for it.
template <class Fn>
void OnThread(DWORD mode, Fn fn) {
  std::thread([&] {
    TApartmentScope apartment(mode);
    fn();
  }).join();
}

TEST(Apartment, KeepsAPerThreadRecord) {
  EXPECT_FALSE(ComIsInitialized());
  TComPtr<IUnknown> unk;
  EXPECT_EQ(CoCreateInstance(CLSID_TestServer, nullptr, CLSCTX_ALL, IID_IUnknown, unk.PutVoid()),
            CO_E_NOTINITIALIZED);
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
  OnThread(COINIT_MULTITHREADED, [] { EXPECT_TRUE(ComIsInitialized()); });  // a record per thread
  CoUninitialize();
  EXPECT_TRUE(ComIsInitialized());  // one more to balance
  CoUninitialize();
  EXPECT_FALSE(ComIsInitialized());
  CoUninitialize();  // unbalanced calls are ignored
}

TEST(ClassStore, CreatesRegisteredClassesUntilRevoked) {
  TApartmentScope sta;
  const int64_t live = ComLiveObjects();
  {
    auto factory = MakeClassFactory<TEventSink>();
    DWORD multi = 0, single = 0, suspended = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_TestServer, factory.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                    &multi),
              S_OK);
    TComPtr<ITestEvents> a, b;
    ASSERT_EQ(CoCreateInstance(CLSID_TestServer, nullptr, CLSCTX_ALL, IID_ITestEvents, a.PutVoid()), S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_TestServer, nullptr, CLSCTX_LOCAL_SERVER, IID_ITestEvents, b.PutVoid()),
              S_OK);
    EXPECT_NE(a.Get(), b.Get());
    EXPECT_EQ(CoCreateInstance(CLSID_TestServer, nullptr, CLSCTX_INPROC_SERVER, IID_ITestEvents, b.PutVoid()),
              REGDB_E_CLASSNOTREG);  // registered for another context
    EXPECT_EQ(CoCreateInstance(CLSID_TestServer, nullptr, CLSCTX_ALL, IID_IStream, b.PutVoid()),
              E_NOINTERFACE);
    EXPECT_EQ(CoCreateInstance(CLSID_TestServer, a.Get(), CLSCTX_ALL, IID_IUnknown, b.PutVoid()),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(CoCreateInstance(CLSID_TestServer, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr), E_POINTER);
    ASSERT_EQ(CoRevokeClassObject(multi), S_OK);
    EXPECT_EQ(CoRevokeClassObject(multi), CO_E_OBJNOTREG);
    EXPECT_EQ(CoCreateInstance(CLSID_TestServer, nullptr, CLSCTX_ALL, IID_ITestEvents, b.PutVoid()),
              REGDB_E_CLASSNOTREG);

    // Single use: one client only. Suspended: nobody until resumed.
    ASSERT_EQ(CoRegisterClassObject(CLSID_TestServer, factory.Get(), CLSCTX_ALL, REGCLS_SINGLEUSE, &single),
              S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_TestServer, nullptr, CLSCTX_ALL, IID_ITestEvents, b.PutVoid()), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_TestServer, nullptr, CLSCTX_ALL, IID_ITestEvents, b.PutVoid()),
              REGDB_E_CLASSNOTREG);
    ASSERT_EQ(CoRegisterClassObject(CLSID_TestServer, factory.Get(), CLSCTX_ALL,
                                    REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &suspended),
              S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_TestServer, nullptr, CLSCTX_ALL, IID_ITestEvents, b.PutVoid()),
              REGDB_E_CLASSNOTREG);
    ASSERT_EQ(CoResumeClassObjects(), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_TestServer, nullptr, CLSCTX_ALL, IID_ITestEvents, b.PutVoid()), S_OK);
    EXPECT_EQ(CoRevokeClassObject(single), S_OK);
    // `suspended` stays registered: closing the apartment revokes it.
  }
  CoUninitialize();
  EXPECT_EQ(ComLiveObjects(), live);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // balanced by the scope
}

TEST(Marshalling, NormalDataUnmarshalsOnceOnAnotherThread) {
  TApartmentScope sta;
  RegisterTestProxies();
  const int64_t live = ComLiveObjects();
  {
    auto sink = Make<TEventSink>();
    TComPtr<IStream> stream;
    ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_ITestEvents, sink.Get(), stream.Put()), S_OK);
    stream->AddRef();  // keep it past CoGetInterfaceAndReleaseStream, as reusing code would
    OnThread(COINIT_MULTITHREADED, [&] {
      TComPtr<ITestEvents> events;
      ASSERT_EQ(CoGetInterfaceAndReleaseStream(stream.Get(), IID_ITestEvents, events.PutVoid()), S_OK);
      EXPECT_NE(static_cast<void*>(events.Get()), static_cast<void*>(sink.Get()));  // a proxy
      EXPECT_EQ(events->Notify(4, nullptr), S_OK);
      EXPECT_EQ(events->Notify(-1, nullptr), RPC_E_SERVERFAULT);  // the object's exception stops at the stub
      // The same data a second time fails.
      ASSERT_EQ(stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr), S_OK);
      TComPtr<ITestEvents> again;
      EXPECT_EQ(CoUnmarshalInterface(stream.Get(), IID_ITestEvents, again.PutVoid()), CO_E_OBJNOTCONNECTED);
      EXPECT_FALSE(again);
    });
    EXPECT_EQ(sink->sum, 3);
    EXPECT_NE(sink->lastThread, std::this_thread::get_id());  // another apartment, but not the main one

    // Data never unmarshalled keeps the object until released.
    TComPtr<IStream> unused;
    ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_ITestEvents, sink.Get(), unused.Put()), S_OK);
    EXPECT_GT(sink->RefCount(), 1u);
    ASSERT_EQ(CoReleaseMarshalData(unused.Get()), S_OK);
    EXPECT_EQ(sink->RefCount(), 1u);
    // Garbage is not marshalled data.
    TComPtr<IStream> junk;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, junk.Put()), S_OK);
    ASSERT_EQ(junk->Write("0123456789012345678901234567", 28, nullptr), S_OK);
    junk->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
    TComPtr<IUnknown> nothing;
    EXPECT_EQ(CoUnmarshalInterface(junk.Get(), IID_IUnknown, nothing.PutVoid()), STG_E_READFAULT);
  }
  EXPECT_EQ(ComLiveObjects(), live);
}

}  // namespace
}  // namespace orvela

// An interface nobody wrote a proxy class for.
inline constexpr IID IID_IUnproxied{
    0x6D1C2A11, 0x3B4E, 0x4F21, {0x9A, 0x51, 0x27, 0x0C, 0x44, 0xE3, 0x11, 0x03}};
struct IUnproxied : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Ping() = 0;
};
ORVELA_COM_INTERFACE(IUnproxied, IUnknown)

namespace orvela {
namespace {

class TUnproxied final : public TComObject<IUnproxied> {
 public:
  HRESULT STDMETHODCALLTYPE Ping() override { return S_OK; }
};

TEST(Marshalling, RefusesInterfacesWithoutProxyAndUninitialisedThreads) {
  auto sink = Make<TUnproxied>();
  TComPtr<IStream> stream;
  EXPECT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IUnknown, sink.Get(), stream.Put()),
            CO_E_NOTINITIALIZED);
  TApartmentScope sta;
  EXPECT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IUnproxied, sink.Get(), stream.Put()),
            REGDB_E_IIDNOTREG);
  EXPECT_FALSE(stream);
  EXPECT_EQ(CoMarshalInterThreadInterfaceInStream(IID_IDispatch, sink.Get(), stream.Put()), E_NOINTERFACE);
  EXPECT_EQ(sink->RefCount(), 1u);
}

TEST(GlobalInterfaceTable, ServesManyThreadsUntilRevoked) {
  TApartmentScope sta;
  RegisterTestProxies();
  const int64_t live = ComLiveObjects();
  {
    TComPtr<IGlobalInterfaceTable> git;
    ASSERT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IGlobalInterfaceTable, git.PutVoid()),
              S_OK);
    auto sink = Make<TEventSink>();
    DWORD cookie = 0;
    ASSERT_EQ(git->RegisterInterfaceInGlobal(sink.Get(), IID_ITestEvents, &cookie), S_OK);

    // The own apartment gets the object itself.
    TComPtr<ITestEvents> direct;
    ASSERT_EQ(git->GetInterfaceFromGlobal(cookie, IID_ITestEvents, direct.PutVoid()), S_OK);
    EXPECT_EQ(static_cast<void*>(direct.Get()), static_cast<void*>(static_cast<ITestEvents*>(sink.Get())));
    direct.Reset();

    constexpr int kThreads = 4, kCalls = 5;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&] {
        TApartmentScope mta(COINIT_MULTITHREADED);
        for (int i = 0; i < kCalls; ++i) {
          TComPtr<ITestEvents> events;
          ASSERT_EQ(git->GetInterfaceFromGlobal(cookie, IID_ITestEvents, events.PutVoid()), S_OK);
          EXPECT_EQ(events->Notify(1, nullptr), S_OK);
          // Another interface of the same object through the proxy.
          TComPtr<IUnknown> unk;
          EXPECT_EQ(events.As(unk), S_OK);
        }
      });
    for (auto& t : threads) t.join();
    EXPECT_EQ(sink->calls, kThreads * kCalls);

    ASSERT_EQ(git->RevokeInterfaceFromGlobal(cookie), S_OK);
    EXPECT_EQ(git->RevokeInterfaceFromGlobal(cookie), E_INVALIDARG);
    EXPECT_EQ(git->GetInterfaceFromGlobal(cookie, IID_ITestEvents, direct.PutVoid()), E_INVALIDARG);
    EXPECT_EQ(sink->RefCount(), 1u);
  }
  EXPECT_EQ(ComLiveObjects(), live);
}

TEST(Marshalling, ProxyBelongsToTheApartmentThatUnmarshalledIt) {
  TApartmentScope sta;
  RegisterTestProxies();
  auto sink = Make<TEventSink>();
  TComPtr<IStream> stream;
  ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_ITestEvents, sink.Get(), stream.Put()), S_OK);
  TComPtr<ITestEvents> proxy;
  OnThread(COINIT_MULTITHREADED, [&] {
    ASSERT_EQ(CoGetInterfaceAndReleaseStream(stream.Detach(), IID_ITestEvents, proxy.PutVoid()), S_OK);
    OnThread(COINIT_MULTITHREADED, [&] { EXPECT_EQ(proxy->Notify(1, nullptr), S_OK); });  // same MTA
    OnThread(COINIT_APARTMENTTHREADED, [&] { EXPECT_EQ(proxy->Notify(1, nullptr), RPC_E_WRONG_THREAD); });
  });
  EXPECT_EQ(proxy->Notify(1, nullptr), RPC_E_WRONG_THREAD);  // this STA did not unmarshal it
  EXPECT_EQ(sink->calls, 1);
  proxy.Reset();
  EXPECT_EQ(sink->RefCount(), 1u);
}

TEST(Marshalling, ClosingTheApartmentDisconnectsItsObjects) {
  RegisterTestProxies();
  auto sink = Make<TEventSink>();
  TComPtr<ITestEvents> proxy;
  {
    TApartmentScope sta;
    TComPtr<IStream> stream;
    ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(IID_ITestEvents, sink.Get(), stream.Put()), S_OK);
    OnThread(COINIT_MULTITHREADED, [&] {
      ASSERT_EQ(CoGetInterfaceAndReleaseStream(stream.Detach(), IID_ITestEvents, proxy.PutVoid()), S_OK);
    });
  }
  EXPECT_EQ(sink->RefCount(), 1u);  // the stub let go when the apartment closed
  OnThread(COINIT_MULTITHREADED, [&] { EXPECT_EQ(proxy->Notify(1, nullptr), RPC_E_DISCONNECTED); });
  proxy.Reset();
}

// The server of the acceptance scenario: one point for ITestEvents whose sink it marshals for a worker
// through the global interface table, as the OPC servers do with their clients' callbacks.
std::atomic<DWORD> gSinkCookie{0};

class TTestServer final : public TConnectionPointContainer<IConnectionPointContainer> {
 public:
  TTestServer() {
    AddConnectionPoint(IID_ITestEvents, 1).SetHandler([](DWORD, IUnknown* sink) {
      TComPtr<IGlobalInterfaceTable> git;
      CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                       IID_IGlobalInterfaceTable, git.PutVoid());
      if (sink) {
        DWORD cookie = 0;
        EXPECT_EQ(git->RegisterInterfaceInGlobal(sink, IID_ITestEvents, &cookie), S_OK);
        gSinkCookie = cookie;
      } else {
        EXPECT_EQ(git->RevokeInterfaceFromGlobal(gSinkCookie.exchange(0)), S_OK);
      }
    });
  }
};

TEST(ComRuntime, SinkCalledFromWorkerFailsWithDisconnectedAfterCoDisconnectObject) {
  MainThread::Attach();
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the main apartment
  RegisterTestProxies();
  const int64_t live = ComLiveObjects();
  {
    DWORD registration = 0;
    ASSERT_EQ(CoRegisterClassObject(CLSID_TestServer, MakeClassFactory<TTestServer>().Get(),
                                    CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &registration),
              S_OK);
    TComPtr<IConnectionPointContainer> server;
    ASSERT_EQ(CoCreateInstance(CLSID_TestServer, nullptr, CLSCTX_ALL, IID_IConnectionPointContainer,
                               server.PutVoid()),
              S_OK);
    TComPtr<IConnectionPoint> point;
    ASSERT_EQ(server->FindConnectionPoint(IID_ITestEvents, point.Put()), S_OK);
    auto sink = Make<TEventSink>();
    DWORD adviseCookie = 0;
    ASSERT_EQ(point->Advise(sink.Get(), &adviseCookie), S_OK);
    ASSERT_NE(gSinkCookie.load(), 0u);

    std::atomic<int> phase{0};
    HRESULT results[4] = {E_FAIL, E_FAIL, E_FAIL, E_FAIL};
    std::thread worker([&] {
      TApartmentScope mta(COINIT_MULTITHREADED);
      TComPtr<IGlobalInterfaceTable> git;
      CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                       IID_IGlobalInterfaceTable, git.PutVoid());
      TComPtr<ITestEvents> events;
      results[0] = git->GetInterfaceFromGlobal(gSinkCookie, IID_ITestEvents, events.PutVoid());
      if (events) {
        results[0] = events->Notify(10, nullptr);
        results[1] = events->Notify(20, nullptr);
      }
      phase = 1;
      phase.wait(1);
      if (events) results[2] = events->Notify(30, nullptr);
      TComPtr<ITestEvents> fresh;
      results[3] = git->GetInterfaceFromGlobal(gSinkCookie, IID_ITestEvents, fresh.PutVoid());
      phase = 3;
    });
    // The calls run on this (main) thread while it waits, as window messages would deliver them.
    ASSERT_TRUE(MainThread::PumpUntil([&] { return phase == 1; }, 60000));
    EXPECT_EQ(sink->calls, 2);
    EXPECT_EQ(sink->lastThread, std::this_thread::get_id());
    ASSERT_EQ(CoDisconnectObject(sink.Get(), 0), S_OK);
    phase = 2;
    phase.notify_all();
    MainThread::PumpUntil([&] { return phase == 3; }, 60000);
    worker.join();
    EXPECT_EQ(results[0], S_OK);
    EXPECT_EQ(results[1], S_OK);
    EXPECT_EQ(results[2], RPC_E_DISCONNECTED);
    EXPECT_EQ(results[3], CO_E_OBJNOTCONNECTED);
    EXPECT_EQ(sink->calls, 2);

    ASSERT_EQ(point->Unadvise(adviseCookie), S_OK);
    ASSERT_EQ(CoRevokeClassObject(registration), S_OK);
  }
  EXPECT_EQ(ComLiveObjects(), live);
  CoUninitialize();
  MainThread::Detach();
}

}  // namespace
}  // namespace orvela
