#include "opc_hda/MainHDA.h"

#include <span>
#include <vector>

#include "opc_hda/HdaAttributes.h"
#include "opc_hda/HdaBrowser.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComText.h"
#include "platform/com/opc/OpcError.h"

namespace orvela {
namespace {

constexpr WORD kMajorVersion = 2;
constexpr WORD kMinorVersion = 0;
constexpr WORD kBuildNumber = 1;
constexpr DWORD kMaxReturnValues = 1'000'000;
constexpr const char* kStatusText = "Состояние OK";
constexpr const char* kVendorInfo = "НПП Брановит";
constexpr const char* kErrorText = "Ошибка на сервере";
// Item identifiers are dotted tree paths; nothing longer names a node.
constexpr size_t kMaxItemIdLength = 4096;

// Task-memory arrays handed out together: all of them, or none when memory runs out.
class TOutArrays {
 public:
  ~TOutArrays() {
    for (auto& [p, strings] : blocks_) {
      if (strings)
        for (size_t i = 0; i < strings; ++i) CoTaskMemFree(static_cast<LPWSTR*>(p)[i]);
      CoTaskMemFree(p);
    }
  }
  template <class T>
  T* Array(size_t n) {
    void* p = CoTaskMemAlloc(sizeof(T) * (n ? n : 1));
    if (!p) failed_ = true;
    if (p) blocks_.push_back({p, 0});
    return static_cast<T*>(p);
  }
  // An array of task-memory copies of texts.
  LPWSTR* Strings(std::span<const char* const> texts) {
    auto* out = Array<LPWSTR>(texts.size());
    if (!out) return nullptr;
    for (size_t i = 0; i < texts.size(); ++i) out[i] = nullptr;
    blocks_.back().second = texts.size();
    for (size_t i = 0; i < texts.size(); ++i)
      if (!(out[i] = TaskMemString(std::string_view(texts[i])))) failed_ = true;
    return out;
  }
  bool Failed() const { return failed_; }
  // The caller has them now.
  void Commit() { blocks_.clear(); }

 private:
  std::vector<std::pair<void*, size_t>> blocks_;
  bool failed_ = false;
};

template <class T>
void ClearOut(T* p) {
  if (p) *p = T{};
}

}  // namespace

TOrvelaOPC_HDA::TOrvelaOPC_HDA(TServerContext& ctx, std::shared_ptr<THdaLateResults> late)
    : ctx_(ctx),
      startTime_(ctx.clock.Now()),
      dataPoint_(AddConnectionPoint(IID_IOPCHDA_DataCallback, TConnectionPoint::kManySinks)),
      shutdownPoint_(AddConnectionPoint(IID_IOPCShutdown, TConnectionPoint::kManySinks)),
      late_(std::move(late)),
      sync_(*Identity(), ctx, clients_, late_),
      async_(*Identity(), ctx, dataPoint_, clients_),
      shutdown_(*Identity()) {
  // Reads given up before the engine last stopped will never come back.
  late_->Sweep();
  // Each object holds the engine once, however many objects of either kind live.
  ctx_.engine.InitAsync();
  ctx_.logs.Journal("Сервер HDA запущен", {});
}

TOrvelaOPC_HDA::~TOrvelaOPC_HDA() {
  ctx_.logs.WorkLog("Вызван Destroy TOrvelaOPC_HDA");
  // This object's requests go with it; other objects' requests and the engine they need stay.
  async_.Close();
  ctx_.engine.FinalAsync();
  late_->Sweep();
  ctx_.logs.Journal("Сервер HDA завершен", {});
}

HRESULT TOrvelaOPC_HDA::QueryDelegate(REFIID riid, void** ppv) {
  if (IsEqualIID(riid, IID_IOPCHDA_SyncRead))
    *ppv = sync_.Interface();
  else if (IsEqualIID(riid, IID_IOPCHDA_AsyncRead))
    *ppv = async_.Interface();
  else if (IsEqualIID(riid, IID_IOPCShutdown))
    *ppv = shutdown_.Interface();
  else
    return E_NOINTERFACE;
  return S_OK;
}

// ---- IOPCHDA_Server
// -----------------------------------------------------------------------------------------

HRESULT TOrvelaOPC_HDA::GetItemAttributes(DWORD* pdwCount, DWORD** ppdwAttrID, LPWSTR** ppszAttrName,
                                          LPWSTR** ppszAttrDesc, VARTYPE** ppvtAttrDataType) {
  if (!pdwCount || !ppdwAttrID || !ppszAttrName || !ppszAttrDesc || !ppvtAttrDataType) return E_POINTER;
  *pdwCount = 0;
  *ppdwAttrID = nullptr;
  *ppszAttrName = *ppszAttrDesc = nullptr;
  *ppvtAttrDataType = nullptr;
  const auto decl = HdaDeclaredAttributes();
  std::vector<const char*> texts;
  for (const auto& a : decl) texts.push_back(a.text);
  TOutArrays out;
  DWORD* ids = out.Array<DWORD>(decl.size());
  VARTYPE* types = out.Array<VARTYPE>(decl.size());
  LPWSTR* names = out.Strings(texts);
  LPWSTR* descs = out.Strings(texts);
  if (out.Failed()) return E_OUTOFMEMORY;
  for (size_t i = 0; i < decl.size(); ++i) {
    ids[i] = decl[i].id;
    types[i] = decl[i].type;
  }
  out.Commit();
  *pdwCount = static_cast<DWORD>(decl.size());
  *ppdwAttrID = ids;
  *ppszAttrName = names;
  *ppszAttrDesc = descs;
  *ppvtAttrDataType = types;
  return S_OK;
}

HRESULT TOrvelaOPC_HDA::GetAggregates(DWORD* pdwCount, DWORD** ppdwAggrID, LPWSTR** ppszAggrName,
                                      LPWSTR** ppszAggrDesc) {
  if (!pdwCount || !ppdwAggrID || !ppszAggrName || !ppszAggrDesc) return E_POINTER;
  *pdwCount = 0;
  *ppdwAggrID = nullptr;
  *ppszAggrName = *ppszAggrDesc = nullptr;
  const auto decl = HdaDeclaredAggregates();
  std::vector<const char*> texts;
  for (const auto& a : decl) texts.push_back(a.text);
  TOutArrays out;
  DWORD* ids = out.Array<DWORD>(decl.size());
  LPWSTR* names = out.Strings(texts);
  LPWSTR* descs = out.Strings(texts);
  if (out.Failed()) return E_FAIL;
  for (size_t i = 0; i < decl.size(); ++i) ids[i] = decl[i].id;
  out.Commit();
  *pdwCount = static_cast<DWORD>(decl.size());
  *ppdwAggrID = ids;
  *ppszAggrName = names;
  *ppszAggrDesc = descs;
  return S_OK;
}

HRESULT TOrvelaOPC_HDA::GetHistorianStatus(OPCHDA_SERVERSTATUS* pwStatus, FILETIME** pftCurrentTime,
                                           FILETIME** pftStartTime, WORD* pwMajorVersion,
                                           WORD* pwMinorVersion, WORD* pwBuildNumber,
                                           DWORD* pdwMaxReturnValues, LPWSTR* ppszStatusString,
                                           LPWSTR* ppszVendorInfo) {
  if (!pwStatus || !pftCurrentTime || !pftStartTime || !pwMajorVersion || !pwMinorVersion || !pwBuildNumber ||
      !pdwMaxReturnValues || !ppszStatusString || !ppszVendorInfo)
    return E_POINTER;
  *pftCurrentTime = *pftStartTime = nullptr;
  *ppszStatusString = *ppszVendorInfo = nullptr;
  auto* now = static_cast<FILETIME*>(CoTaskMemAlloc(sizeof(FILETIME)));
  auto* started = static_cast<FILETIME*>(CoTaskMemAlloc(sizeof(FILETIME)));
  LPWSTR status = TaskMemString(std::string_view(kStatusText));
  LPWSTR vendor = TaskMemString(std::string_view(kVendorInfo));
  if (!now || !started || !status || !vendor) {
    for (void* p : {static_cast<void*>(now), static_cast<void*>(started), static_cast<void*>(status),
                    static_cast<void*>(vendor)})
      CoTaskMemFree(p);
    return E_OUTOFMEMORY;
  }
  *now = UtcDateTimeToFileTime(ctx_.clock.NowUtc());
  *started = LocalDateTimeToFileTime(startTime_);
  *pwStatus = OPCHDA_UP;
  *pftCurrentTime = now;
  *pftStartTime = started;
  *pwMajorVersion = kMajorVersion;
  *pwMinorVersion = kMinorVersion;
  *pwBuildNumber = kBuildNumber;
  *pdwMaxReturnValues = kMaxReturnValues;
  *ppszStatusString = status;
  *ppszVendorInfo = vendor;
  return S_OK;
}

HRESULT TOrvelaOPC_HDA::Lookup(LPCWSTR id, TNTreeData*& node) {
  node = nullptr;
  if (!id || !*id) return OPC_E_INVALIDITEMID;
  size_t length = 0;
  while (id[length])
    if (++length > kMaxItemIdLength) return OPC_E_INVALIDITEMID;
  node = ctx_.tree.ResolveIdentifier(WideToUtf8(id));
  return node ? S_OK : OPC_E_UNKNOWNITEMID;
}

HRESULT TOrvelaOPC_HDA::GetItemHandles(DWORD dwCount, LPWSTR* pszItemID, OPCHANDLE* phClient,
                                       OPCHANDLE** pphServer, HRESULT** ppErrors) {
  if (!pphServer || !ppErrors) return E_POINTER;
  *pphServer = nullptr;
  *ppErrors = nullptr;
  if (dwCount == 0 || dwCount > kHdaMaxItemsPerCall || !pszItemID || !phClient) return E_INVALIDARG;
  TOutArrays out;
  auto* handles = out.Array<OPCHANDLE>(dwCount);
  auto* errors = out.Array<HRESULT>(dwCount);
  if (out.Failed()) return E_OUTOFMEMORY;
  bool anyFailed = false;
  for (DWORD i = 0; i < dwCount; ++i) {
    TNTreeData* node = nullptr;
    errors[i] = Lookup(pszItemID[i], node);
    handles[i] = 0;
    if (node) {
      int32_t handle = 0;
      {
        auto lock = ctx_.tree.ReadLock();
        handle = node->Handle;
      }
      handles[i] = static_cast<OPCHANDLE>(handle);
      clients_.Set(handle, phClient[i]);
    }
    anyFailed = anyFailed || FAILED(errors[i]);
  }
  out.Commit();
  *pphServer = handles;
  *ppErrors = errors;
  return anyFailed ? S_FALSE : S_OK;
}

HRESULT TOrvelaOPC_HDA::ReleaseItemHandles(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
  if (!ppErrors) return E_POINTER;
  *ppErrors = nullptr;
  if (dwCount == 0 || dwCount > kHdaMaxItemsPerCall || !phServer) return E_INVALIDARG;
  auto* errors = static_cast<HRESULT*>(CoTaskMemAlloc(sizeof(HRESULT) * dwCount));
  if (!errors) return E_OUTOFMEMORY;
  bool anyFailed = false;
  // Handles are node handles: the client's own handle for the node goes with the last it holds.
  for (DWORD i = 0; i < dwCount; ++i) {
    const auto handle = static_cast<int32_t>(phServer[i]);
    errors[i] = ctx_.tree.ResolveHandle(handle) ? S_OK : OPC_E_INVALIDHANDLE;
    if (SUCCEEDED(errors[i])) clients_.Release(handle);
    anyFailed = anyFailed || FAILED(errors[i]);
  }
  *ppErrors = errors;
  return anyFailed ? S_FALSE : S_OK;
}

HRESULT TOrvelaOPC_HDA::ValidateItemIDs(DWORD dwCount, LPWSTR* pszItemID, HRESULT** ppErrors) {
  if (!ppErrors) return E_POINTER;
  *ppErrors = nullptr;
  if (dwCount == 0 || dwCount > kHdaMaxItemsPerCall || !pszItemID) return E_INVALIDARG;
  auto* errors = static_cast<HRESULT*>(CoTaskMemAlloc(sizeof(HRESULT) * dwCount));
  if (!errors) return E_OUTOFMEMORY;
  bool anyFailed = false;
  for (DWORD i = 0; i < dwCount; ++i) {
    TNTreeData* node = nullptr;
    errors[i] = Lookup(pszItemID[i], node);
    anyFailed = anyFailed || FAILED(errors[i]);
  }
  *ppErrors = errors;
  return anyFailed ? S_FALSE : S_OK;
}

HRESULT TOrvelaOPC_HDA::CreateBrowse(DWORD dwCount, DWORD* pdwAttrID, OPCHDA_OPERATORCODES* pOperator,
                                     VARIANT* vFilter, IOPCHDA_Browser** pphBrowser, HRESULT** ppErrors) {
  if (!pphBrowser || !ppErrors) return E_INVALIDARG;
  *pphBrowser = nullptr;
  *ppErrors = nullptr;
  if (dwCount > THDABrowser::kMaxFilters || (dwCount > 0 && (!pdwAttrID || !pOperator || !vFilter)))
    return E_INVALIDARG;
  TOutArrays out;
  auto* errors = out.Array<HRESULT>(dwCount);
  if (out.Failed()) return E_OUTOFMEMORY;
  // Filters the browser cannot apply are reported one by one; the browser lists by the others.
  std::vector<THdaBrowseFilter> filters;
  bool allApplied = true;
  for (DWORD i = 0; i < dwCount; ++i) {
    THdaBrowseFilter filter;
    errors[i] = ParseHdaBrowseFilter(pdwAttrID[i], pOperator[i], vFilter[i], filter);
    if (errors[i] == S_OK)
      filters.push_back(std::move(filter));
    else
      allApplied = false;
  }
  auto browser = Make<THDABrowser>(ctx_.tree, std::move(filters));
  if (!browser) return E_OUTOFMEMORY;
  *pphBrowser = browser.Detach();
  out.Commit();
  *ppErrors = errors;
  ctx_.logs.Journal("Создан браузер HDA", {});
  return allApplied ? S_OK : S_FALSE;
}

// ---- IOPCCommon
// ---------------------------------------------------------------------------------------------

HRESULT TOrvelaOPC_HDA::SetLocaleID(LCID) {
  return S_OK;
}

HRESULT TOrvelaOPC_HDA::GetLocaleID(LCID* pdwLcid) {
  ClearOut(pdwLcid);
  return E_NOTIMPL;
}

HRESULT TOrvelaOPC_HDA::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) {
  ClearOut(pdwCount);
  ClearOut(pdwLcid);
  return E_NOTIMPL;
}

HRESULT TOrvelaOPC_HDA::GetErrorString(HRESULT, LPWSTR* ppString) {
  if (!ppString) return E_POINTER;
  *ppString = TaskMemString(std::string_view(kErrorText));
  return *ppString ? S_OK : E_OUTOFMEMORY;
}

HRESULT TOrvelaOPC_HDA::SetClientName(LPCWSTR) {
  return S_OK;
}

}  // namespace orvela
