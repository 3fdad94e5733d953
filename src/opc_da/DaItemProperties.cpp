#include "opc_da/DaItemProperties.h"

#include <algorithm>
#include <string>
#include <vector>

#include "drivers/Families.h"
#include "opc_da/DaArrays.h"
#include "opc_da/DaGroup.h"
#include "platform/DateTime.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComText.h"
#include "platform/com/ComVariant.h"
#include "platform/com/opc/OpcError.h"

namespace orvela {
namespace {

// What the properties of one node are made of, copied under the tree lock.
struct TNodeFacts {
  std::u16string id;  // the node's path: the item id the device read goes through
  VARTYPE type = VT_EMPTY;
  DWORD rights = OPC_READABLE;
  std::string units;
  std::string description;
};

// A device reading of the item, for the value, quality and time-stamp properties.
struct TReading {
  HRESULT error = E_FAIL;
  TComVariant value;
  WORD quality = OPC_QUALITY_BAD;
  FILETIME stamp{};
};

std::string AttributeText(const TAttribRec& a) {
  if (!a.Text.empty() || a.Value.vt == VT_EMPTY) return a.Text;
  if (a.Value.vt == VT_BSTR) return a.Value.s;
  return a.Value.IsInteger() ? std::to_string(a.Value.i) : std::to_string(a.Value.AsDouble());
}

enum TNeed { nAlways, nUnits, nDescription };

struct TPropertyDef {
  DWORD id;
  const char16_t* description;
  VARTYPE type;
  TNeed need;
};

// The properties a node offers, in the order they are listed.
constexpr TPropertyDef kProperties[] = {
    {OPC_PROP_CDT, u"Item Canonical DataType", VT_I2, nAlways},
    {OPC_PROP_VALUE, u"Item Value", VT_VARIANT, nAlways},
    {OPC_PROP_QUALITY, u"Item Quality", VT_I2, nAlways},
    {OPC_PROP_TIME, u"Item Timestamp", VT_DATE, nAlways},
    {OPC_PROP_RIGHTS, u"Item Access Rights", VT_I4, nAlways},
    {OPC_PROP_SCANRATE, u"Server Scan Rate", VT_R4, nAlways},
    {7, u"Item EU Type", VT_I4, nAlways},
    // The tree knows no EU ranges or enumerations: the EU type says so and the info stays empty.
    {8, u"Item EUInfo", VT_EMPTY, nAlways},
    {OPC_PROP_UNIT, u"EU Units", VT_BSTR, nUnits},
    {OPC_PROP_DESC, u"Item Description", VT_BSTR, nDescription},
};

bool Offered(const TPropertyDef& p, const TNodeFacts& facts) {
  switch (p.need) {
    case nUnits:
      return !facts.units.empty();
    case nDescription:
      return !facts.description.empty();
    case nAlways:
      break;
  }
  return true;
}

const TPropertyDef* Find(DWORD id, const TNodeFacts& facts) {
  for (const auto& p : kProperties)
    if (p.id == id) return Offered(p, facts) ? &p : nullptr;
  return nullptr;
}

// The node an id names, or the OPC error for it.
HRESULT Facts(const TOPCExplorer& explorer, LPCWSTR szItemID, TNodeFacts& facts) {
  if (!szItemID || !*szItemID) return OPC_E_INVALIDITEMID;
  TNTreeData* node = explorer.Resolve(szItemID);
  if (!node) return OPC_E_UNKNOWNITEMID;
  auto lock = explorer.Tree().ReadLock();
  facts.id = Utf8ToUtf16(node->Path);
  facts.type = NodeCanonicalType(*node);
  facts.rights = NodeAccessRights(NodeAccessMode(*node));
  facts.units = AttributeText(Attribute(*node, asUnits));
  facts.description = AttributeText(Attribute(*node, asDescription));
  return S_OK;
}

bool NeedsReading(const DWORD* ids, DWORD count) {
  return std::any_of(ids, ids + count, [](DWORD id) {
    return id == OPC_PROP_VALUE || id == OPC_PROP_QUALITY || id == OPC_PROP_TIME;
  });
}

// Reads the item once from the device through a group of its own that no client sees.
void ReadDevice(const std::shared_ptr<TDaServerState>& state, const std::u16string& id, TReading& reading) {
  auto owner = std::make_shared<TDaGroupOwner>(state);
  TComPtr<TOPCGroup> group = owner->CreateGroup(owner);
  if (!group) {
    reading.error = E_OUTOFMEMORY;
    return;
  }
  TGroupInit init;
  init.Name = u"properties";
  init.RequestedRate = kMinUpdateRate;
  init.ServerGroup = state->NextGroupHandle();
  group->Init(init);
  OPCITEMDEF def{};
  def.szAccessPath = const_cast<LPWSTR>(u"");
  def.szItemID = const_cast<LPWSTR>(id.c_str());
  def.bActive = TRUE;
  OPCITEMRESULT* added = nullptr;
  HRESULT* addErrors = nullptr;
  reading.error = group->AddItems(1, &def, &added, &addErrors);
  if (reading.error == S_OK && addErrors[0] == S_OK) {
    OPCHANDLE handle = added[0].hServer;
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    if (SUCCEEDED(group->Read(OPC_DS_DEVICE, 1, &handle, &states, &errors))) {
      reading.error = errors[0];
      reading.quality = states[0].wQuality;
      reading.stamp = states[0].ftTimeStamp;
      VariantCopy(&reading.value, &states[0].vDataValue);
      VariantClear(&states[0].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
  } else if (addErrors) {
    reading.error = FAILED(addErrors[0]) ? addErrors[0] : E_FAIL;
  }
  CoTaskMemFree(added);
  CoTaskMemFree(addErrors);
  group->Shutdown();
  owner->Close();
}

HRESULT Value(const TPropertyDef& p, const TNodeFacts& facts, const TReading& reading, VARIANT& out) {
  VariantInit(&out);
  switch (p.id) {
    case OPC_PROP_CDT:
      out.vt = VT_I2;
      out.iVal = static_cast<SHORT>(facts.type);
      return S_OK;
    case OPC_PROP_VALUE:
      if (FAILED(reading.error)) return reading.error;
      return VariantCopy(&out, &reading.value);
    case OPC_PROP_QUALITY:
      if (FAILED(reading.error)) return reading.error;
      out.vt = VT_I2;
      out.iVal = static_cast<SHORT>(reading.quality);
      return S_OK;
    case OPC_PROP_TIME:
      if (FAILED(reading.error)) return reading.error;
      out.vt = VT_DATE;
      out.date = FileTimeToUtcDateTime(reading.stamp);
      return S_OK;
    case OPC_PROP_RIGHTS:
      out.vt = VT_I4;
      out.lVal = static_cast<LONG>(facts.rights);
      return S_OK;
    case OPC_PROP_SCANRATE:
      out.vt = VT_R4;
      out.fltVal = static_cast<FLOAT>(kMinUpdateRate);
      return S_OK;
    case 7:
      out.vt = VT_I4;
      out.lVal = OPC_NOENUM;
      return S_OK;
    case OPC_PROP_UNIT:
      return TVariantToVariant(TVariant::Str(facts.units), &out);
    case OPC_PROP_DESC:
      return TVariantToVariant(TVariant::Str(facts.description), &out);
    default:
      return S_OK;  // EU info: empty
  }
}

// What both per-id calls begin with: out-pointers cleared, the id list bounded, the item found.
template <class T>
HRESULT StartPerId(const TOPCExplorer& explorer, LPCWSTR szItemID, DWORD count, const DWORD* ids, T** out,
                   HRESULT** errors, TNodeFacts& facts) {
  if (!out || !errors) return E_INVALIDARG;
  *out = nullptr;
  *errors = nullptr;
  if (count == 0 || count > TDaItemProperties::kMaxIds || !ids) return E_INVALIDARG;
  return Facts(explorer, szItemID, facts);
}

}  // namespace

HRESULT TDaItemProperties::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                                    LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) {
  if (!pdwCount || !ppPropertyIDs || !ppDescriptions || !ppvtDataTypes) return E_INVALIDARG;
  *pdwCount = 0;
  *ppPropertyIDs = nullptr;
  *ppDescriptions = nullptr;
  *ppvtDataTypes = nullptr;
  TNodeFacts facts;
  if (HRESULT hr = Facts(explorer_, szItemID, facts); FAILED(hr)) return hr;
  std::vector<const TPropertyDef*> offered;
  for (const auto& p : kProperties)
    if (Offered(p, facts)) offered.push_back(&p);
  const size_t n = offered.size();
  TTaskArray<DWORD> ids(n);
  TTaskArray<LPWSTR> descriptions(n);
  TTaskArray<VARTYPE> types(n);
  if (!ids.Ok() || !descriptions.Ok() || !types.Ok()) return E_OUTOFMEMORY;
  for (size_t i = 0; i < n; ++i) {
    ids[i] = offered[i]->id;
    types[i] = offered[i]->type;
    descriptions[i] = TaskMemString(std::u16string_view(offered[i]->description));
    if (!descriptions[i]) {
      for (size_t k = 0; k < i; ++k) CoTaskMemFree(descriptions[k]);
      return E_OUTOFMEMORY;
    }
  }
  *pdwCount = static_cast<DWORD>(n);
  *ppPropertyIDs = ids.Release();
  *ppDescriptions = descriptions.Release();
  *ppvtDataTypes = types.Release();
  return S_OK;
}

HRESULT TDaItemProperties::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                             VARIANT** ppvData, HRESULT** ppErrors) {
  TNodeFacts facts;
  if (HRESULT hr = StartPerId(explorer_, szItemID, dwCount, pdwPropertyIDs, ppvData, ppErrors, facts);
      FAILED(hr))
    return hr;
  TTaskArray<VARIANT> data(dwCount);
  TTaskArray<HRESULT> errors(dwCount);
  if (!data.Ok() || !errors.Ok()) return E_OUTOFMEMORY;
  TReading reading;
  if (NeedsReading(pdwPropertyIDs, dwCount)) ReadDevice(state_, facts.id, reading);
  bool failed = false;
  for (DWORD i = 0; i < dwCount; ++i) {
    const TPropertyDef* p = Find(pdwPropertyIDs[i], facts);
    errors[i] = p ? Value(*p, facts, reading, data[i]) : OPC_E_INVALID_PID;
    failed = failed || errors[i] != S_OK;
  }
  *ppvData = data.Release();
  *ppErrors = errors.Release();
  return failed ? S_FALSE : S_OK;
}

// No property of an item is an item of its own: value, quality and time stamp are read through the item,
// the others are not readable as items at all. Every id is answered with an error and no id.
HRESULT TDaItemProperties::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                         LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) {
  TNodeFacts facts;
  if (HRESULT hr = StartPerId(explorer_, szItemID, dwCount, pdwPropertyIDs, ppszNewItemIDs, ppErrors, facts);
      FAILED(hr))
    return hr;
  TTaskArray<LPWSTR> ids(dwCount);
  TTaskArray<HRESULT> errors(dwCount);
  if (!ids.Ok() || !errors.Ok()) return E_OUTOFMEMORY;
  for (DWORD i = 0; i < dwCount; ++i) errors[i] = OPC_E_INVALID_PID;
  *ppszNewItemIDs = ids.Release();
  *ppErrors = errors.Release();
  return S_FALSE;
}

}  // namespace orvela
