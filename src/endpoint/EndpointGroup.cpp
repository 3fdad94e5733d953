#include "endpoint/EndpointGroup.h"

#include "endpoint/EndpointRequest.h"
#include "endpoint/EndpointTree.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComTaskMem.h"
#include "platform/com/ComText.h"

namespace orvela::endpoint {

TEndpointGroup::TEndpointGroup(IOPCServer& da, const char16_t* name, bool active, DWORD rate,
                               OPCHANDLE clientHandle, IOPCDataCallback& sink)
    : da_(da) {
  TComPtr<IUnknown> unknown;
  if (FAILED(da_.AddGroup(const_cast<LPWSTR>(name), active ? TRUE : FALSE, rate, clientHandle, nullptr, nullptr,
                          0, &handle_, &revised_, IID_IOPCItemMgt, unknown.Put())) ||
      FAILED(unknown.As(items_))) {
    Release();
    throw ERequest{kFail, "the DA group could not be made"};
  }
  auto container = As<IConnectionPointContainer>();
  if (!container || FAILED(container->FindConnectionPoint(IID_IOPCDataCallback, point_.Put())) ||
      FAILED(point_->Advise(&sink, &cookie_))) {
    Release();
    throw ERequest{kFail, "the DA group's callback could not be set"};
  }
}

TEndpointGroup::~TEndpointGroup() {
  Release();
}

void TEndpointGroup::Release() {
  if (point_ && cookie_) point_->Unadvise(cookie_);
  cookie_ = 0;
  point_.Reset();
  items_.Reset();
  if (handle_) da_.RemoveGroup(handle_, TRUE);
  handle_ = 0;
}

std::vector<HRESULT> TEndpointGroup::Add(TTree& tree, const std::vector<std::string>& ids, OPCHANDLE firstClient,
                                         std::vector<OPCHANDLE>& server) {
  std::vector<HRESULT> errors(ids.size());
  server.assign(ids.size(), 0);
  std::vector<std::u16string> wide;
  std::vector<size_t> positions;
  for (size_t i = 0; i < ids.size(); ++i) {
    errors[i] = Refusal(tree, ids[i], false);
    if (FAILED(errors[i])) continue;
    wide.push_back(Utf8ToUtf16(ids[i]));
    positions.push_back(i);
  }
  if (positions.empty()) return errors;
  std::vector<OPCITEMDEF> defs(positions.size());
  for (size_t k = 0; k < positions.size(); ++k) {
    defs[k] = OPCITEMDEF{};
    defs[k].szAccessPath = const_cast<LPWSTR>(u"");
    defs[k].szItemID = wide[k].data();
    defs[k].bActive = TRUE;
    defs[k].hClient = firstClient + static_cast<OPCHANDLE>(positions[k]);
    defs[k].vtRequestedDataType = VT_EMPTY;
  }
  TTaskMem<OPCITEMRESULT> results;
  TTaskMem<HRESULT> added;
  const HRESULT hr = items_->AddItems(static_cast<DWORD>(defs.size()), defs.data(), results.Put(), added.Put());
  for (size_t k = 0; k < positions.size(); ++k) {
    errors[positions[k]] = added ? added[k] : (FAILED(hr) ? hr : kFail);
    if (results && results[k].pBlob) CoTaskMemFree(results[k].pBlob);
    if (results && SUCCEEDED(errors[positions[k]])) server[positions[k]] = results[k].hServer;
  }
  return errors;
}

}  // namespace orvela::endpoint
