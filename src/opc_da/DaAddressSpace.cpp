#include "opc_da/DaAddressSpace.h"

#include "platform/com/ComText.h"
#include "platform/com/opc/OpcError.h"

namespace orvela {
namespace {

std::u16string_view View(LPCWSTR s) {
  return s ? std::u16string_view(s) : std::u16string_view();
}

static_assert(OPC_BROWSE_UP == 1 && OPC_BROWSE_DOWN == 2 && OPC_BROWSE_TO == 3);
constexpr DWORD kAllRights = OPC_READABLE | OPC_WRITEABLE;

}  // namespace

// A failed move never changes the position.
HRESULT TDaAddressSpace::ChangeBrowsePosition(OPCBROWSEDIRECTION direction, LPCWSTR name) {
  return position_.Change(direction, View(name));
}

HRESULT TDaAddressSpace::BrowseOPCItemIDs(OPCBROWSETYPE type, LPCWSTR filter, VARTYPE dataType, DWORD rights,
                                          IEnumString** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  if (type != OPC_BRANCH && type != OPC_LEAF && type != OPC_FLAT) return E_INVALIDARG;
  if ((rights & ~kAllRights) != 0) return E_INVALIDARG;
  const auto name = TNameFilter::Parse(View(filter));
  if (!name) return OPC_E_INVALIDFILTER;
  TNTreeData* at = position_.Current();
  if (!at) return E_FAIL;
  const TOPCExplorer& explorer = position_.Explorer();
  const TLeafFilter leaf{.name = &*name, .type = dataType, .rights = rights};
  std::vector<std::string> names;
  if (type == OPC_BRANCH)
    names = explorer.Branches(at, TBrowseSide::DA, &*name);
  else if (type == OPC_LEAF)
    names = explorer.Leaves(at, leaf);
  else
    names = explorer.Flat(at, TBrowseSide::DA, leaf);
  return MakeNameEnumerator(names, out);
}

// Ids handed out here carry the leading "\\" of the DA side; every lookup takes them with or without it.
HRESULT TDaAddressSpace::GetItemID(LPCWSTR itemDataId, LPWSTR* itemId) {
  if (!itemId) return E_INVALIDARG;
  *itemId = nullptr;
  if (!position_.Current()) return E_FAIL;
  const TNTreeData* node = position_.Named(View(itemDataId));
  if (!node) return OPC_E_UNKNOWNITEMID;
  const std::u16string id = u"\\\\" + Utf8ToUtf16(position_.Explorer().Path(node));
  *itemId = TaskMemString(std::u16string_view(id));
  return *itemId ? S_OK : E_OUTOFMEMORY;
}

}  // namespace orvela
