#pragma once
// The enumerators the DA server hands out: group names, group objects and item attributes.
#include <memory>
#include <string>
#include <vector>

#include "platform/com/ComObject.h"
#include "platform/com/opc/OpcDa.h"

namespace orvela {

using TOPCStringsEnumerator = TStringEnumerator;
using TS3UnknownEnumerator = TUnknownEnumerator;

// One item's attributes as the enumerator copies them out.
struct TOPCItemAttributes {
  BOOL Active = FALSE;
  OPCEUTYPE EUType = OPC_NOENUM;
  std::u16string AccessPath;
  std::u16string ItemId;
  VARTYPE RequestedType = VT_EMPTY;
  VARTYPE CanonicalType = VT_EMPTY;
  OPCHANDLE ClientHandle = 0;
  OPCHANDLE ServerHandle = 0;
  DWORD AccessRights = OPC_READABLE;
  DWORD BlobSize = 0;
};

class TOPCItemAttEnumerator final : public TComObject<IEnumOPCItemAttributes> {
 public:
  using TList = std::vector<TOPCItemAttributes>;
  explicit TOPCItemAttEnumerator(std::shared_ptr<const TList> items) : items_(std::move(items)) {}

  // Hands out min(celt, remaining) records in one task-memory block.
  HRESULT STDMETHODCALLTYPE Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override;
  HRESULT STDMETHODCALLTYPE Reset() override;
  // A new enumerator over the same records, at the start.
  HRESULT STDMETHODCALLTYPE Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) override;

 private:
  std::shared_ptr<const TList> items_;
  size_t pos_ = 0;
};

}  // namespace orvela
