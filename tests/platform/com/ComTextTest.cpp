#include <gtest/gtest.h>

#include <string>

#include "platform/com/ComInterfaces.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComText.h"

namespace orvela {
namespace {

// Published registry forms of a few interfaces: the constants and the text codec must agree with them.
struct TKnownIid {
  const IID* iid;
  const char* text;
};
const TKnownIid kKnown[] = {
    {&IID_IUnknown, "{00000000-0000-0000-C000-000000000046}"},
    {&IID_IClassFactory, "{00000001-0000-0000-C000-000000000046}"},
    {&IID_IDispatch, "{00020400-0000-0000-C000-000000000046}"},
    {&IID_IConnectionPointContainer, "{B196B284-BAB4-101A-B69C-00AA00341D07}"},
    {&IID_IConnectionPoint, "{B196B286-BAB4-101A-B69C-00AA00341D07}"},
    {&IID_IEnumString, "{00000101-0000-0000-C000-000000000046}"},
    {&IID_IGlobalInterfaceTable, "{00000146-0000-0000-C000-000000000046}"},
    {&IID_ISupportErrorInfo, "{DF0B3D60-548F-101B-8E65-08002B2BD119}"},
    {&IID_ISequentialStream, "{0C733A30-2A1C-11CE-ADE5-00AA0044773D}"},
};

TEST(Guid, RoundTripsKnownIidsThroughEveryForm) {
  for (const auto& k : kKnown) {
    EXPECT_EQ(GuidToString(*k.iid), k.text);
    auto parsed = ParseGuid(k.text);
    ASSERT_TRUE(parsed) << k.text;
    EXPECT_TRUE(IsEqualGUID(*parsed, *k.iid)) << k.text;

    OLECHAR buf[39];
    ASSERT_EQ(StringFromGUID2(*k.iid, buf, 39), 39);
    IID back{};
    ASSERT_EQ(IIDFromString(buf, &back), S_OK);
    EXPECT_TRUE(IsEqualIID(back, *k.iid));

    LPOLESTR text = nullptr;
    ASSERT_EQ(StringFromCLSID(*k.iid, &text), S_OK);
    EXPECT_EQ(WideToUtf8(text), k.text);
    CoTaskMemFree(text);
  }
  // Lower-case hex reads too.
  auto lower = ParseGuid("{b196b284-bab4-101a-b69c-00aa00341d07}");
  ASSERT_TRUE(lower);
  EXPECT_TRUE(IsEqualIID(*lower, IID_IConnectionPointContainer));
}

TEST(Guid, RejectsMalformedText) {
  for (const char* bad :
       {"", "00000000-0000-0000-C000-000000000046", "{00000000-0000-0000-C000-00000000004}",
        "{00000000-0000-0000-C000-0000000000467}", "{0000000G-0000-0000-C000-000000000046}",
        "{00000000+0000-0000-C000-000000000046}", "(00000000-0000-0000-C000-000000000046)"}) {
    EXPECT_FALSE(ParseGuid(bad)) << bad;
    IID iid{};
    EXPECT_EQ(IIDFromString(Utf8ToUtf16(bad).c_str(), &iid), CO_E_CLASSSTRING) << bad;
  }
  OLECHAR small[38];
  EXPECT_EQ(StringFromGUID2(IID_IUnknown, small, 38), 0);
}

TEST(Text, BstrsCarryUtf8TextAsUtf16) {
  const std::string text = "Счётчик \xE2\x84\x96 5 \xF0\x9F\x94\xA5";
  const std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide.size(), 14u);  // the last character takes a surrogate pair
  EXPECT_EQ(Utf16ToUtf8(wide), text);
  // A BSTR carries the same text, counted in UTF-16 units.
  BSTR b = MakeBstr(text);
  EXPECT_EQ(SysStringLen(b), 14u);
  EXPECT_EQ(BstrToUtf8(b), text);
  SysFreeString(b);
}

TEST(TaskMemory, FailureInjectionFailsFromTheNthAllocationUntilReset) {
  const int64_t before = ComOutstandingAllocations();
  TComAllocFaults::FailAfter(2);
  void* a = CoTaskMemAlloc(8);
  BSTR b = SysAllocString(u"x");  // BSTRs draw on the same allocator
  void* c = CoTaskMemAlloc(8);
  LPWSTR d = TaskMemString("y");
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(d, nullptr);
  EXPECT_EQ(TComAllocFaults::Failures(), 2);
  EXPECT_EQ(CoTaskMemRealloc(a, 64), nullptr);  // the block stays valid when growing fails
  TComAllocFaults::Reset();
  a = CoTaskMemRealloc(a, 64);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(CoTaskMemRealloc(a, 0), nullptr);  // frees
  SysFreeString(b);
  CoTaskMemFree(nullptr);
  EXPECT_EQ(ComOutstandingAllocations(), before);
  EXPECT_EQ(CoTaskMemAlloc(SIZE_T{1} << 40), nullptr);  // absurd sizes fail cleanly
}

}  // namespace
}  // namespace orvela
