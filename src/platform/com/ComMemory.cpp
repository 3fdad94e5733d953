#include "platform/com/ComMemory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace orvela {
namespace {

std::atomic<int64_t> gAllowance{-1};  // < 0: no failures injected
std::atomic<int64_t> gFailures{0};
std::atomic<int64_t> gOutstanding{0};

// Larger requests are refused outright: no caller has a reason to ask for them, and a size computed from
// a bad count should fail cleanly rather than exhaust memory.
constexpr size_t kMaxBlock = size_t{1} << 31;

bool TakeAllowance() {
  int64_t left = gAllowance.load();
  while (left >= 0) {
    if (left == 0) {
      gFailures.fetch_add(1);
      return false;
    }
    if (gAllowance.compare_exchange_weak(left, left - 1)) return true;
  }
  return true;
}

}  // namespace

void TComAllocFaults::FailAfter(int64_t successes) {
  gFailures = 0;
  gAllowance = successes < 0 ? 0 : successes;
}

void TComAllocFaults::Reset() {
  gAllowance = -1;
}

int64_t TComAllocFaults::Failures() {
  return gFailures.load();
}

int64_t ComOutstandingAllocations() {
  return gOutstanding.load();
}

void* ComAlloc(size_t cb) {
  if (cb > kMaxBlock || !TakeAllowance()) return nullptr;
  void* p = std::malloc(cb == 0 ? 1 : cb);
  if (p) gOutstanding.fetch_add(1);
  return p;
}

void* ComRealloc(void* pv, size_t cb) {
  if (!pv) return ComAlloc(cb);
  if (cb > kMaxBlock || !TakeAllowance()) return nullptr;
  return std::realloc(pv, cb == 0 ? 1 : cb);
}

void ComFree(void* pv) {
  if (!pv) return;
  gOutstanding.fetch_sub(1);
  std::free(pv);
}

}  // namespace orvela

using orvela::ComAlloc;
using orvela::ComFree;

LPVOID CoTaskMemAlloc(SIZE_T cb) {
  return ComAlloc(cb);
}

LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
  if (pv && cb == 0) {
    ComFree(pv);
    return nullptr;
  }
  return orvela::ComRealloc(pv, cb);
}

void CoTaskMemFree(LPVOID pv) {
  ComFree(pv);
}

HANDLE LocalFree(HANDLE hMem) {
  ComFree(hMem);
  return nullptr;
}

// ---- BSTR: [uint32 byte length][characters][zero character] ----------------------------------------------

namespace {

constexpr size_t kPrefix = sizeof(uint32_t);
constexpr UINT kMaxBstrBytes = 0x7FFFFFF0;

uint32_t* PrefixOf(BSTR b) {
  return reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(b) - kPrefix);
}

size_t WideLen(const OLECHAR* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

// A BSTR of `bytes` bytes, copied from src when given; the bytes after them are zero.
BSTR AllocBytes(const void* src, UINT bytes) {
  if (bytes > kMaxBstrBytes) return nullptr;
  char* block = static_cast<char*>(ComAlloc(kPrefix + bytes + sizeof(OLECHAR) + 1));
  if (!block) return nullptr;
  const uint32_t len = bytes;
  std::memcpy(block, &len, kPrefix);
  if (src)
    std::memcpy(block + kPrefix, src, bytes);
  else
    std::memset(block + kPrefix, 0, bytes);
  std::memset(block + kPrefix + bytes, 0, sizeof(OLECHAR) + 1);
  return reinterpret_cast<BSTR>(block + kPrefix);
}

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  const size_t n = WideLen(psz);
  if (n > kMaxBstrBytes / sizeof(OLECHAR)) return nullptr;
  return AllocBytes(psz, static_cast<UINT>(n * sizeof(OLECHAR)));
}

BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch) {
  if (cch > kMaxBstrBytes / sizeof(OLECHAR)) return nullptr;
  return AllocBytes(pch, cch * static_cast<UINT>(sizeof(OLECHAR)));
}

BSTR SysAllocStringByteLen(const char* psz, UINT len) {
  return AllocBytes(psz, len);
}

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
  if (!pbstr) return FALSE;
  // The source may lie inside the old string, so copy before freeing.
  BSTR fresh = SysAllocStringLen(psz, len);
  if (!fresh) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (!pbstr) return FALSE;
  const size_t n = psz ? WideLen(psz) : 0;
  if (n > kMaxBstrBytes / sizeof(OLECHAR)) return FALSE;
  return SysReAllocStringLen(pbstr, psz, static_cast<UINT>(n));
}

void SysFreeString(BSTR bstrString) {
  if (bstrString) ComFree(PrefixOf(bstrString));
}

UINT SysStringByteLen(BSTR bstr) {
  return bstr ? *PrefixOf(bstr) : 0;
}

UINT SysStringLen(BSTR pbstr) {
  return SysStringByteLen(pbstr) / sizeof(OLECHAR);
}
