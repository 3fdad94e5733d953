#pragma once
// The HDA server object a client gets from the HDA class: historian status, the declared attributes and
// aggregates, item handles, and the read interfaces served by its two readers. It holds no data: items
// are nodes of the device tree and archives come from the devices through the polling engine, which runs
// while any server object lives.
#include <memory>

#include "engine/ServerContext.h"
#include "opc_hda/HDAAsyncReader.h"
#include "opc_hda/HDASyncReader.h"
#include "opc_hda/HdaClientHandles.h"
#include "opc_hda/HdaDelegate.h"
#include "opc_hda/HdaLateResults.h"
#include "platform/com/ComObject.h"
#include "platform/com/opc/OpcCommon.h"
#include "platform/com/opc/OpcHda.h"

namespace orvela {

// IOPCShutdown as the server's interface table lists it; nothing in the server calls it.
class THDAShutDown final : public THdaDelegate<IOPCShutdown> {
 public:
  using THdaDelegate::THdaDelegate;
  HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR) override { return S_OK; }
};

class TOrvelaOPC_HDA final
    : public TConnectionPointContainer<IOPCHDA_Server, IOPCCommon, IConnectionPointContainer> {
 public:
  // late: the reads given up by every server object of the class, collected by whichever object reads next.
  TOrvelaOPC_HDA(TServerContext& ctx, std::shared_ptr<THdaLateResults> late);

  // IOPCHDA_Server
  HRESULT STDMETHODCALLTYPE GetItemAttributes(DWORD* pdwCount, DWORD** ppdwAttrID, LPWSTR** ppszAttrName,
                                              LPWSTR** ppszAttrDesc, VARTYPE** ppvtAttrDataType) override;
  HRESULT STDMETHODCALLTYPE GetAggregates(DWORD* pdwCount, DWORD** ppdwAggrID, LPWSTR** ppszAggrName,
                                          LPWSTR** ppszAggrDesc) override;
  HRESULT STDMETHODCALLTYPE GetHistorianStatus(OPCHDA_SERVERSTATUS* pwStatus, FILETIME** pftCurrentTime,
                                               FILETIME** pftStartTime, WORD* pwMajorVersion,
                                               WORD* pwMinorVersion, WORD* pwBuildNumber,
                                               DWORD* pdwMaxReturnValues, LPWSTR* ppszStatusString,
                                               LPWSTR* ppszVendorInfo) override;
  HRESULT STDMETHODCALLTYPE GetItemHandles(DWORD dwCount, LPWSTR* pszItemID, OPCHANDLE* phClient,
                                           OPCHANDLE** pphServer, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE ReleaseItemHandles(DWORD dwCount, OPCHANDLE* phServer,
                                               HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE ValidateItemIDs(DWORD dwCount, LPWSTR* pszItemID, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE CreateBrowse(DWORD dwCount, DWORD* pdwAttrID, OPCHDA_OPERATORCODES* pOperator,
                                         VARIANT* vFilter, IOPCHDA_Browser** pphBrowser,
                                         HRESULT** ppErrors) override;

  // IOPCCommon
  HRESULT STDMETHODCALLTYPE SetLocaleID(LCID dwLcid) override;
  HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* pdwLcid) override;
  HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override;
  HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LPWSTR* ppString) override;
  HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR szName) override;

 protected:
  ~TOrvelaOPC_HDA() override;
  HRESULT QueryDelegate(REFIID riid, void** ppv) override;

 private:
  // The node an identifier names, or the identifier's error.
  HRESULT Lookup(LPCWSTR id, TNTreeData*& node);

  TServerContext& ctx_;
  TDateTime startTime_;
  TConnectionPoint& dataPoint_;
  TConnectionPoint& shutdownPoint_;
  std::shared_ptr<THdaLateResults> late_;
  // This client's handles: the items' data carries them, whatever other clients gave the same items.
  THdaClientHandles clients_;
  THDASyncReader sync_;
  THDAAsyncReader async_;
  THDAShutDown shutdown_;
};

}  // namespace orvela
