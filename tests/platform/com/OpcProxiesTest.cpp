#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ComTestSupport.h"
#include "platform/com/ComObject.h"
#include "platform/com/ComRuntime.h"
#include "platform/com/opc/OpcDa.h"
#include "platform/com/opc/OpcHda.h"

namespace orvela {
namespace {

class TClientCallback final : public TComObject<IOPCDataCallback, IOPCShutdown> {
 public:
  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*,
                                         WORD*, FILETIME*, HRESULT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD transId, OPCHANDLE, HRESULT, HRESULT, DWORD count,
                                           OPCHANDLE* clients, VARIANT* values, WORD*, FILETIME*,
                                           HRESULT*) override {
    lastTransId = transId;
    // The arrays arrive as the caller passed them.
    if (count == 1 && clients[0] == 7 && values[0].vt == VT_I4) sum += values[0].lVal;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR) override {
    ++shutdowns;
    return S_OK;
  }
  std::atomic<DWORD> lastTransId{0};
  std::atomic<LONG> sum{0};
  std::atomic<int> shutdowns{0};
};

TEST(OpcProxies, ClientCallbacksReachTheClientFromReaderThreadsUntilDisconnected) {
  test::TApartmentScope sta;
  const int64_t live = ComLiveObjects();
  {
    auto client = Make<TClientCallback>();
    TComPtr<IGlobalInterfaceTable> git;
    ASSERT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IGlobalInterfaceTable, git.PutVoid()),
              S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(git->RegisterInterfaceInGlobal(client.Get()->Identity(), IID_IOPCDataCallback, &cookie), S_OK);
    HRESULT first = E_FAIL, shutdown = E_FAIL, afterDisconnect = S_OK;  // read after join
    std::atomic<bool> called{false}, disconnected{false};
    std::thread reader([&] {
      test::TApartmentScope mta(COINIT_MULTITHREADED);
      TComPtr<IOPCDataCallback> callback;
      if (git->GetInterfaceFromGlobal(cookie, IID_IOPCDataCallback, callback.PutVoid()) != S_OK) {
        called = true;  // fails below, without leaving the main thread waiting
        called.notify_all();
        return;
      }
      OPCHANDLE clients[] = {7};
      VARIANT values[1];
      values[0].vt = VT_I4;
      values[0].lVal = 42;
      WORD qualities[] = {192};
      FILETIME times[1] = {};
      HRESULT errors[] = {S_OK};
      first = callback->OnReadComplete(5, 1, S_OK, S_OK, 1, clients, values, qualities, times, errors);
      TComPtr<IOPCShutdown> other;  // another interface of the same client, through the proxy
      if (SUCCEEDED(callback.As(other))) shutdown = other->ShutdownRequest(u"bye");
      called = true;
      called.notify_all();
      disconnected.wait(false);
      afterDisconnect =
          callback->OnReadComplete(6, 1, S_OK, S_OK, 1, clients, values, qualities, times, errors);
    });
    called.wait(false);  // this apartment is not the main one: the calls run on the reader thread
    ASSERT_EQ(CoDisconnectObject(client.Get()->Identity(), 0), S_OK);
    disconnected = true;
    disconnected.notify_all();
    reader.join();
    EXPECT_EQ(first, S_OK);
    EXPECT_EQ(shutdown, S_OK);
    EXPECT_EQ(afterDisconnect, RPC_E_DISCONNECTED);
    EXPECT_EQ(client->lastTransId, 5u);
    EXPECT_EQ(client->sum, 42);
    ASSERT_EQ(git->RevokeInterfaceFromGlobal(cookie), S_OK);
  }
  EXPECT_EQ(ComLiveObjects(), live);
}

}  // namespace
}  // namespace orvela
