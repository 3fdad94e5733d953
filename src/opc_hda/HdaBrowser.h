#pragma once
// THDABrowser: the IOPCHDA_Browser that CreateBrowse hands out. It walks the device tree with a position
// of its own, lists branches visible in HDA and items as the client's attribute filters allow, and
// builds item ids without the "\\" the DA side puts in front.
#include <string>
#include <vector>

#include "engine/OPCExplorer.h"
#include "platform/com/ComObject.h"
#include "platform/com/opc/OpcHda.h"

namespace orvela {

// One attribute filter of CreateBrowse: an item is listed when its node's attribute compares with the
// value as the operator says (a node without the attribute is not listed).
struct THdaBrowseFilter {
  DWORD attribute = 0;
  OPCHDA_OPERATORCODES op = OPCHDA_EQUAL;
  bool numeric = false;
  double number = 0;
  std::string text;
};

// Checks one filter of CreateBrowse: S_OK and the filter to keep, or its error (OPC_E_UNKNOWNATTRID,
// OPC_E_INVALIDDATATYPE, E_INVALIDARG for an unknown operator, OPC_W_NOFILTER for a declared attribute
// that no node carries).
HRESULT ParseHdaBrowseFilter(DWORD attribute, OPCHDA_OPERATORCODES op, const VARIANT& value,
                             THdaBrowseFilter& filter);

class THDABrowser final : public TComObject<IOPCHDA_Browser> {
 public:
  // More filters in one CreateBrowse are refused.
  static constexpr DWORD kMaxFilters = 64;

  THDABrowser(TTree& tree, std::vector<THdaBrowseFilter> filters)
      : position_(tree, TBrowseSide::HDA), filters_(std::move(filters)) {}

  HRESULT STDMETHODCALLTYPE GetEnum(OPCHDA_BROWSETYPE dwBrowseType, IEnumString** ppIEnumString) override;
  HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCHDA_BROWSEDIRECTION dwBrowseDirection,
                                                 LPCWSTR szString) override;
  HRESULT STDMETHODCALLTYPE GetItemID(LPCWSTR szNode, LPWSTR* pszItemID) override;
  HRESULT STDMETHODCALLTYPE GetBranchPosition(LPWSTR* pszBranchPos) override;

 private:
  TBrowsePosition position_;
  std::vector<THdaBrowseFilter> filters_;
};

}  // namespace orvela
