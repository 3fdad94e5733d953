#pragma once
// A sink interface and its implementation for the COM runtime tests.
#include <atomic>
#include <thread>

#include "platform/com/ComObject.h"
#include "platform/com/ComRuntime.h"

inline constexpr IID IID_ITestEvents{
    0x6D1C2A10, 0x3B4E, 0x4F21, {0x9A, 0x51, 0x27, 0x0C, 0x44, 0xE3, 0x11, 0x02}};
struct ITestEvents : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Notify(LONG value, BSTR text) = 0;
};
ORVELA_COM_INTERFACE(ITestEvents, IUnknown)

namespace orvela::test {

struct TTestEventsProxy final : TComProxy<ITestEvents> {
  using TComProxy::TComProxy;
  HRESULT STDMETHODCALLTYPE Notify(LONG value, BSTR text) override {
    return Forward(&ITestEvents::Notify, value, text);
  }
};

inline void RegisterTestProxies() {
  RegisterProxy<ITestEvents, TTestEventsProxy>();
}

// Records its calls; can be told to fail or throw.
class TEventSink final : public TComObject<ITestEvents> {
 public:
  HRESULT STDMETHODCALLTYPE Notify(LONG value, BSTR) override {
    lastThread = std::this_thread::get_id();
    sum += value;
    ++calls;
    if (value < 0) throw std::runtime_error("sink fault");
    return S_OK;
  }
  std::atomic<int> calls{0};
  std::atomic<long> sum{0};
  std::atomic<std::thread::id> lastThread;
};

// Opens an apartment for the scope of a test.
class TApartmentScope {
 public:
  explicit TApartmentScope(DWORD mode = COINIT_APARTMENTTHREADED) : hr(CoInitializeEx(nullptr, mode)) {}
  ~TApartmentScope() {
    if (SUCCEEDED(hr)) CoUninitialize();
  }
  TApartmentScope(const TApartmentScope&) = delete;
  TApartmentScope& operator=(const TApartmentScope&) = delete;
  const HRESULT hr;
};

}  // namespace orvela::test
