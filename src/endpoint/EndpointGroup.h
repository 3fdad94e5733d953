#pragma once
// One DA group of the endpoint's, with its data callback advised: made, filled and removed in one place
// for subscriptions and reads alike.
#include <string>
#include <vector>

#include "platform/com/ComObject.h"
#include "platform/com/opc/OpcDa.h"
#include "tree/TreeItem.h"

namespace orvela::endpoint {

class TEndpointGroup {
 public:
  // Throws ERequest when the group or its callback cannot be set up (nothing is left behind).
  TEndpointGroup(IOPCServer& da, const char16_t* name, bool active, DWORD rate, OPCHANDLE clientHandle,
                 IOPCDataCallback& sink);
  ~TEndpointGroup();
  TEndpointGroup(const TEndpointGroup&) = delete;
  TEndpointGroup& operator=(const TEndpointGroup&) = delete;

  DWORD RevisedRate() const { return revised_; }
  IOPCItemMgt& Items() { return *items_.Get(); }
  // The group as another interface; empty when it has none.
  template <class I>
  TComPtr<I> As() {
    TComPtr<I> out;
    items_->QueryInterface(IidOf<I>(), out.PutVoid());
    return out;
  }

  // Adds the identifiers that pass the tree's refusal, item k with client handle firstClient + k; returns
  // the HRESULT per identifier and, in server, the handles of the added ones.
  std::vector<HRESULT> Add(TTree& tree, const std::vector<std::string>& ids, OPCHANDLE firstClient,
                           std::vector<OPCHANDLE>& server);

 private:
  void Release();

  IOPCServer& da_;
  OPCHANDLE handle_ = 0;
  DWORD revised_ = 0;
  TComPtr<IOPCItemMgt> items_;
  TComPtr<IConnectionPoint> point_;
  DWORD cookie_ = 0;
};

}  // namespace orvela::endpoint
