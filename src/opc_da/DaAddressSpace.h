#pragma once
// One DA client's view of the address space: its browse position in the device tree and the listings
// it asks for there.
#include <string>
#include <vector>

#include "engine/OPCExplorer.h"
#include "platform/com/ComObject.h"
#include "platform/com/opc/OpcDa.h"

namespace orvela {

class TDaAddressSpace {
 public:
  explicit TDaAddressSpace(TTree& tree) : position_(tree, TBrowseSide::DA) {}

  HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION direction, LPCWSTR name);
  HRESULT BrowseOPCItemIDs(OPCBROWSETYPE type, LPCWSTR filter, VARTYPE dataType, DWORD rights,
                           IEnumString** out);
  HRESULT GetItemID(LPCWSTR itemDataId, LPWSTR* itemId);

 private:
  TBrowsePosition position_;
};

}  // namespace orvela
