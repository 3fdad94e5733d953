#pragma once
// A client's data callback kept in the global interface table for the life of its request. The table
// serves it to any thread as often as asked, so periodic tasks reach the client on every delivery; the
// entry is revoked when the last task or work item holding it lets go.
#include <atomic>
#include <memory>

#include "platform/com/ComObject.h"
#include "platform/com/ComRuntime.h"

namespace orvela {

class TCallbackRef {
 public:
  // nullptr when callback is null or cannot be registered (the request then has no way back).
  static std::shared_ptr<TCallbackRef> Register(IUnknown* callback, REFIID iid);
  ~TCallbackRef();
  TCallbackRef(const TCallbackRef&) = delete;
  TCallbackRef& operator=(const TCallbackRef&) = delete;

  // The callback for the calling thread's apartment.
  template <class I>
  HRESULT Get(TComPtr<I>& out) const {
    return GetRaw(IidOf<I>(), out.PutVoid());
  }
  HRESULT GetRaw(REFIID iid, void** ppv) const;

  // A client that has gone away: marks it; true only for the first caller, so it is journalled once.
  bool MarkGone() { return !gone_.exchange(true); }
  bool Gone() const { return gone_; }

 private:
  explicit TCallbackRef(DWORD cookie) : cookie_(cookie) {}
  DWORD cookie_;
  std::atomic<bool> gone_{false};
};

// Results of a callback call or unmarshal that mean the client is no longer there.
bool IsClientGone(HRESULT hr);

}  // namespace orvela
