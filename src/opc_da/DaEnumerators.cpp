#include "opc_da/DaEnumerators.h"

#include <algorithm>

#include "platform/com/ComMemory.h"
#include "platform/com/ComText.h"
#include "platform/com/ComVariant.h"

namespace orvela {
namespace {

void FreeAttributes(OPCITEMATTRIBUTES& a) {
  CoTaskMemFree(a.szAccessPath);
  CoTaskMemFree(a.szItemID);
  VariantClear(&a.vEUInfo);
}

bool CopyAttributes(const TOPCItemAttributes& from, OPCITEMATTRIBUTES& to) {
  to = OPCITEMATTRIBUTES{};
  VariantInit(&to.vEUInfo);
  to.szAccessPath = TaskMemString(std::u16string_view(from.AccessPath));
  to.szItemID = TaskMemString(std::u16string_view(from.ItemId));
  if (!to.szAccessPath || !to.szItemID) {
    FreeAttributes(to);
    return false;
  }
  to.bActive = from.Active;
  to.hClient = from.ClientHandle;
  to.hServer = from.ServerHandle;
  to.dwAccessRights = from.AccessRights;
  to.dwBlobSize = 0;
  to.pBlob = nullptr;
  to.vtRequestedDataType = from.RequestedType;
  to.vtCanonicalDataType = from.CanonicalType;
  to.dwEUType = from.EUType;
  return true;
}

}  // namespace

HRESULT TOPCItemAttEnumerator::Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) {
  if (!ppItemArray) return E_INVALIDARG;
  *ppItemArray = nullptr;
  if (pceltFetched) *pceltFetched = 0;
  if (celt == 0) return S_FALSE;
  const size_t n = std::min<size_t>(celt, items_->size() - pos_);
  if (n == 0) return S_FALSE;
  auto* out = static_cast<OPCITEMATTRIBUTES*>(CoTaskMemAlloc(n * sizeof(OPCITEMATTRIBUTES)));
  if (!out) return E_OUTOFMEMORY;
  for (size_t i = 0; i < n; ++i) {
    if (!CopyAttributes((*items_)[pos_ + i], out[i])) {
      for (size_t k = 0; k < i; ++k) FreeAttributes(out[k]);
      CoTaskMemFree(out);
      return E_OUTOFMEMORY;
    }
  }
  pos_ += n;
  *ppItemArray = out;
  if (pceltFetched) *pceltFetched = static_cast<ULONG>(n);
  return n == celt ? S_OK : S_FALSE;
}

HRESULT TOPCItemAttEnumerator::Skip(ULONG celt) {
  const size_t n = std::min<size_t>(celt, items_->size() - pos_);
  pos_ += n;
  return n == celt ? S_OK : S_FALSE;
}

HRESULT TOPCItemAttEnumerator::Reset() {
  pos_ = 0;
  return S_OK;
}

HRESULT TOPCItemAttEnumerator::Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) {
  if (!ppEnumItemAttributes) return E_INVALIDARG;
  *ppEnumItemAttributes = nullptr;
  return QueryOut(Make<TOPCItemAttEnumerator>(items_), IID_IEnumOPCItemAttributes,
                  reinterpret_cast<void**>(ppEnumItemAttributes));
}

}  // namespace orvela
