#pragma once
// Task memory and BSTRs. Both draw on one allocator with a failure switch, so a test can make the n-th
// allocation fail and drive every E_OUTOFMEMORY path of a server method.
#include <cstddef>
#include <cstdint>

#include "platform/com/ComTypes.h"

LPVOID CoTaskMemAlloc(SIZE_T cb);
LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
void CoTaskMemFree(LPVOID pv);

BSTR SysAllocString(const OLECHAR* psz);
BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch);
// Byte length: the characters may be odd in number of bytes; a terminating zero character follows.
BSTR SysAllocStringByteLen(const char* psz, UINT len);
INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
void SysFreeString(BSTR bstrString);
UINT SysStringLen(BSTR pbstr);
UINT SysStringByteLen(BSTR bstr);

// Local memory as FormatMessageW hands it out with FORMAT_MESSAGE_ALLOCATE_BUFFER.
HANDLE LocalFree(HANDLE hMem);

namespace orvela {

// Test switch for the shared allocator: after `successes` more allocations every allocation fails until
// Reset. Reallocations count as allocations; frees always work.
class TComAllocFaults {
 public:
  static void FailAfter(int64_t successes);
  static void Reset();
  // Allocations that failed because of the switch since the last FailAfter.
  static int64_t Failures();
};

// Task-memory blocks and BSTRs handed out and not yet freed: tests compare it before and after a call.
int64_t ComOutstandingAllocations();

// Internal: the allocator behind task memory, BSTRs and local memory.
void* ComAlloc(size_t cb);
void* ComRealloc(void* pv, size_t cb);
void ComFree(void* pv);

}  // namespace orvela
