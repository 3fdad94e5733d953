#pragma once
// Client-side sinks that answer every callback with S_OK, so that a client overrides only the callbacks
// it waits for.
#include "platform/com/ComObject.h"
#include "platform/com/opc/OpcDa.h"
#include "platform/com/opc/OpcHda.h"

namespace orvela {

class TOpcDataSink : public TComObject<IOPCDataCallback> {
 public:
  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*,
                                         WORD*, FILETIME*, HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*,
                                           WORD*, FILETIME*, HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
};

class TOpcHdaDataSink : public TComObject<IOPCHDA_DataCallback> {
 public:
  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, HRESULT, DWORD, OPCHDA_ITEM*, HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, HRESULT, DWORD, OPCHDA_ITEM*, HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnReadModifiedComplete(DWORD, HRESULT, DWORD, OPCHDA_MODIFIEDITEM*,
                                                   HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnReadAttributeComplete(DWORD, HRESULT, OPCHANDLE, DWORD, OPCHDA_ATTRIBUTE*,
                                                    HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnReadAnnotations(DWORD, HRESULT, DWORD, OPCHDA_ANNOTATION*, HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnInsertAnnotations(DWORD, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnPlayback(DWORD, HRESULT, DWORD, OPCHDA_ITEM**, HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnUpdateComplete(DWORD, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD) override { return S_OK; }
};

}  // namespace orvela
