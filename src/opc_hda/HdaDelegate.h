#pragma once
// An interface the HDA server object serves through a companion object. The companion shares the
// server's identity and life: its IUnknown goes to the server, so a client holding only the companion's
// interface keeps the whole server (and what the companion uses of it) alive.
#include "platform/com/ComObject.h"

namespace orvela {

template <class I>
class THdaDelegate : public I {
 public:
  explicit THdaDelegate(IUnknown& outer) : outer_(outer) {}
  THdaDelegate(const THdaDelegate&) = delete;
  THdaDelegate& operator=(const THdaDelegate&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return outer_.QueryInterface(riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return outer_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return outer_.Release(); }

  // The interface with a reference added, for the server's QueryInterface.
  void* Interface() {
    outer_.AddRef();
    return static_cast<I*>(this);
  }

 protected:
  ~THdaDelegate() = default;
  IUnknown& Outer() { return outer_; }

 private:
  IUnknown& outer_;
};

}  // namespace orvela
