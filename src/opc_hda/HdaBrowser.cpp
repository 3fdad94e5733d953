#include "opc_hda/HdaBrowser.h"

#include <algorithm>
#include <compare>

#include "opc_hda/HdaAttributes.h"
#include "platform/com/ComText.h"
#include "platform/com/ComVariant.h"
#include "platform/com/opc/OpcError.h"

namespace orvela {
namespace {

std::u16string_view View(LPCWSTR s) {
  return s ? std::u16string_view(s) : std::u16string_view();
}

static_assert(OPCHDA_BROWSE_UP == 1 && OPCHDA_BROWSE_DOWN == 2 && OPCHDA_BROWSE_DIRECT == 3);

bool SlotAttribute(DWORD id) {
  return std::any_of(kAttributeIds.begin(), kAttributeIds.end(),
                     [&](int32_t slotId) { return static_cast<DWORD>(slotId) == id; });
}

bool Holds(std::partial_ordering order, OPCHDA_OPERATORCODES op) {
  switch (op) {
    case OPCHDA_EQUAL:
      return order == 0;
    case OPCHDA_LESS:
      return order < 0;
    case OPCHDA_LESSEQUAL:
      return order <= 0;
    case OPCHDA_GREATER:
      return order > 0;
    case OPCHDA_GREATEREQUAL:
      return order >= 0;
    case OPCHDA_NOTEQUAL:
      return order != 0 && order != std::partial_ordering::unordered;
  }
  return false;
}

std::string SlotText(const TAttribRec& a) {
  return a.Text.empty() && a.Value.vt == VT_BSTR ? a.Value.s : a.Text;
}

// Called for each candidate item under the tree's read lock.
bool PassesAll(const TNTreeData& node, const void* context) {
  const auto& filters = *static_cast<const std::vector<THdaBrowseFilter>*>(context);
  for (const THdaBrowseFilter& f : filters) {
    const TAttribRec* a = FindAttribute(node, f.attribute);
    if (!a) return false;
    const std::partial_ordering order =
        f.numeric ? a->Value.AsDouble() <=> f.number : SlotText(*a) <=> f.text;
    if (!Holds(order, f.op)) return false;
  }
  return true;
}

}  // namespace

HRESULT ParseHdaBrowseFilter(DWORD attribute, OPCHDA_OPERATORCODES op, const VARIANT& value,
                             THdaBrowseFilter& filter) {
  const auto declared = HdaDeclaredAttributes();
  const auto decl = std::find_if(declared.begin(), declared.end(),
                                 [&](const THdaAttributeDecl& d) { return d.id == attribute; });
  if (decl == declared.end()) return OPC_E_UNKNOWNATTRID;
  if (op < OPCHDA_EQUAL || op > OPCHDA_NOTEQUAL) return E_INVALIDARG;
  if (!SlotAttribute(attribute)) return OPC_W_NOFILTER;
  filter.attribute = attribute;
  filter.op = op;
  filter.numeric = decl->type != VT_BSTR;
  TComVariant converted;
  if (FAILED(VariantChangeType(&converted, &value, 0, filter.numeric ? VT_R8 : VT_BSTR)))
    return OPC_E_INVALIDDATATYPE;
  if (filter.numeric)
    filter.number = converted.dblVal;
  else
    filter.text = WideToUtf8(converted.bstrVal);
  return S_OK;
}

HRESULT THDABrowser::GetEnum(OPCHDA_BROWSETYPE dwBrowseType, IEnumString** ppIEnumString) {
  if (!ppIEnumString) return E_INVALIDARG;
  *ppIEnumString = nullptr;
  if (dwBrowseType < OPCHDA_BRANCH || dwBrowseType > OPCHDA_ITEMS) return E_INVALIDARG;
  TNTreeData* at = position_.Current();
  if (!at) return E_FAIL;
  const TOPCExplorer& explorer = position_.Explorer();
  const TLeafFilter items{.extra = filters_.empty() ? nullptr : &PassesAll, .context = &filters_};
  std::vector<std::string> names;
  if (dwBrowseType == OPCHDA_BRANCH)
    names = explorer.Branches(at, TBrowseSide::HDA, nullptr);
  else if (dwBrowseType == OPCHDA_FLAT)
    names = explorer.Flat(at, TBrowseSide::HDA, items);
  else
    names = explorer.Leaves(at, items);
  return MakeNameEnumerator(names, ppIEnumString);
}

// As the DA side's: UP at the root fails too, and a failed move never changes the position.
HRESULT THDABrowser::ChangeBrowsePosition(OPCHDA_BROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) {
  return position_.Change(dwBrowseDirection, View(szString));
}

HRESULT THDABrowser::GetItemID(LPCWSTR szNode, LPWSTR* pszItemID) {
  if (!pszItemID) return E_INVALIDARG;
  *pszItemID = nullptr;
  if (!szNode) return E_INVALIDARG;
  if (!position_.Current()) return E_FAIL;
  const TNTreeData* node = position_.Named(View(szNode));
  if (!node) return E_INVALIDARG;
  *pszItemID = TaskMemString(std::string_view(position_.Explorer().Path(node)));
  return *pszItemID ? S_OK : E_OUTOFMEMORY;
}

HRESULT THDABrowser::GetBranchPosition(LPWSTR* pszBranchPos) {
  if (!pszBranchPos) return E_INVALIDARG;
  *pszBranchPos = nullptr;
  const TNTreeData* at = position_.Current();
  if (!at) return E_FAIL;
  *pszBranchPos = TaskMemString(std::string_view(position_.Explorer().Path(at)));
  return *pszBranchPos ? S_OK : E_OUTOFMEMORY;
}

}  // namespace orvela
