#include "platform/com/OpcProxies.h"

#include "platform/com/opc/OpcCommon.h"
#include "platform/com/opc/OpcDa.h"
#include "platform/com/opc/OpcHda.h"

namespace orvela::com_detail {
namespace {

struct TShutdownProxy final : TComProxy<IOPCShutdown> {
  using TComProxy::TComProxy;
  HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR szReason) override {
    return Forward(&IOPCShutdown::ShutdownRequest, szReason);
  }
};

struct TDataCallbackProxy final : TComProxy<IOPCDataCallback> {
  using TComProxy::TComProxy;
  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD transId, OPCHANDLE group, HRESULT quality, HRESULT error,
                                         DWORD count, OPCHANDLE* clients, VARIANT* values, WORD* qualities,
                                         FILETIME* times, HRESULT* errors) override {
    return Forward(&IOPCDataCallback::OnDataChange, transId, group, quality, error, count, clients, values,
                   qualities, times, errors);
  }
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD transId, OPCHANDLE group, HRESULT quality, HRESULT error,
                                           DWORD count, OPCHANDLE* clients, VARIANT* values, WORD* qualities,
                                           FILETIME* times, HRESULT* errors) override {
    return Forward(&IOPCDataCallback::OnReadComplete, transId, group, quality, error, count, clients, values,
                   qualities, times, errors);
  }
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD transId, OPCHANDLE group, HRESULT error, DWORD count,
                                            OPCHANDLE* clients, HRESULT* errors) override {
    return Forward(&IOPCDataCallback::OnWriteComplete, transId, group, error, count, clients, errors);
  }
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD transId, OPCHANDLE group) override {
    return Forward(&IOPCDataCallback::OnCancelComplete, transId, group);
  }
};

struct THdaDataCallbackProxy final : TComProxy<IOPCHDA_DataCallback> {
  using TComProxy::TComProxy;
  using I = IOPCHDA_DataCallback;
  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD id, HRESULT status, DWORD n, OPCHDA_ITEM* items,
                                         HRESULT* errors) override {
    return Forward(&I::OnDataChange, id, status, n, items, errors);
  }
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD id, HRESULT status, DWORD n, OPCHDA_ITEM* items,
                                           HRESULT* errors) override {
    return Forward(&I::OnReadComplete, id, status, n, items, errors);
  }
  HRESULT STDMETHODCALLTYPE OnReadModifiedComplete(DWORD id, HRESULT status, DWORD n,
                                                   OPCHDA_MODIFIEDITEM* items, HRESULT* errors) override {
    return Forward(&I::OnReadModifiedComplete, id, status, n, items, errors);
  }
  HRESULT STDMETHODCALLTYPE OnReadAttributeComplete(DWORD id, HRESULT status, OPCHANDLE client, DWORD n,
                                                    OPCHDA_ATTRIBUTE* values, HRESULT* errors) override {
    return Forward(&I::OnReadAttributeComplete, id, status, client, n, values, errors);
  }
  HRESULT STDMETHODCALLTYPE OnReadAnnotations(DWORD id, HRESULT status, DWORD n, OPCHDA_ANNOTATION* values,
                                              HRESULT* errors) override {
    return Forward(&I::OnReadAnnotations, id, status, n, values, errors);
  }
  HRESULT STDMETHODCALLTYPE OnInsertAnnotations(DWORD id, HRESULT status, DWORD n, OPCHANDLE* clients,
                                                HRESULT* errors) override {
    return Forward(&I::OnInsertAnnotations, id, status, n, clients, errors);
  }
  HRESULT STDMETHODCALLTYPE OnPlayback(DWORD id, HRESULT status, DWORD n, OPCHDA_ITEM** items,
                                       HRESULT* errors) override {
    return Forward(&I::OnPlayback, id, status, n, items, errors);
  }
  HRESULT STDMETHODCALLTYPE OnUpdateComplete(DWORD id, HRESULT status, DWORD n, OPCHANDLE* clients,
                                             HRESULT* errors) override {
    return Forward(&I::OnUpdateComplete, id, status, n, clients, errors);
  }
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD cancelId) override {
    return Forward(&I::OnCancelComplete, cancelId);
  }
};

template <class I, class Proxy>
std::pair<IID, TProxyFactory> Entry() {
  return {IidOf<I>(), [](TProxyLink link) -> void* {
            return static_cast<I*>(new (std::nothrow) Proxy(std::move(link)));
          }};
}

}  // namespace

std::vector<std::pair<IID, TProxyFactory>> OpcProxyFactories() {
  return {Entry<IOPCShutdown, TShutdownProxy>(), Entry<IOPCDataCallback, TDataCallbackProxy>(),
          Entry<IOPCHDA_DataCallback, THdaDataCallbackProxy>()};
}

}  // namespace orvela::com_detail
