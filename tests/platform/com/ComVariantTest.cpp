#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/com/ComMemory.h"
#include "platform/com/ComObject.h"
#include "platform/com/ComText.h"
#include "platform/com/ComVariant.h"

namespace orvela {
namespace {

TEST(Bstr, KeepsEmbeddedZerosAndOddByteLengths) {
  const char16_t text[] = {u'a', 0, u'b', 0, 0};
  BSTR b = SysAllocStringLen(text, 4);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 4u);
  EXPECT_EQ(SysStringByteLen(b), 8u);
  EXPECT_EQ(b[2], u'b');
  EXPECT_EQ(b[4], 0);  // terminated after the counted characters

  BSTR odd = SysAllocStringByteLen("abc", 3);
  EXPECT_EQ(SysStringByteLen(odd), 3u);
  EXPECT_EQ(SysStringLen(odd), 1u);

  // SysAllocString stops at the first zero; the counted forms do not.
  BSTR plain = SysAllocString(text);
  EXPECT_EQ(SysStringLen(plain), 1u);

  // Reallocation from a part of the string itself.
  ASSERT_TRUE(SysReAllocStringLen(&b, b + 2, 2));
  EXPECT_EQ(SysStringLen(b), 2u);
  EXPECT_EQ(b[0], u'b');

  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  SysFreeString(nullptr);
  for (BSTR s : {b, odd, plain}) SysFreeString(s);
}

TEST(Variant, CopyOwnsItsStringAndClearFreesIt) {
  const int64_t before = ComOutstandingAllocations();
  TComVariant src;
  src.vt = VT_BSTR;
  const char16_t text[] = {u'x', 0, u'y'};
  src.bstrVal = SysAllocStringLen(text, 3);
  {
    TComVariant dst;
    dst.vt = VT_BSTR;
    dst.bstrVal = SysAllocString(u"old");  // VariantCopy clears it first
    ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
    EXPECT_NE(dst.bstrVal, src.bstrVal);
    EXPECT_EQ(SysStringLen(dst.bstrVal), 3u);
    EXPECT_EQ(std::memcmp(dst.bstrVal, text, sizeof text), 0);
    EXPECT_EQ(VariantCopy(&dst, &dst), S_OK);  // copying onto itself keeps the value
    EXPECT_EQ(SysStringLen(dst.bstrVal), 3u);
    // Without memory the target ends empty, not holding a string it does not own.
    TComAllocFaults::FailAfter(0);
    EXPECT_EQ(VariantCopy(&dst, &src), E_OUTOFMEMORY);
    TComAllocFaults::Reset();
    EXPECT_EQ(dst.vt, VT_EMPTY);
  }
  ASSERT_EQ(VariantClear(&src), S_OK);
  EXPECT_EQ(src.vt, VT_EMPTY);
  EXPECT_EQ(ComOutstandingAllocations(), before);
}

struct TCounted final : TComObject<IUnknown> {};

TEST(Variant, CopyAndClearManageInterfaceReferences) {
  auto obj = Make<TCounted>();
  TComVariant a;
  a.vt = VT_UNKNOWN;
  a.punkVal = obj.Get();
  obj->AddRef();
  {
    TComVariant b;
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);
    EXPECT_EQ(obj->RefCount(), 3u);
  }
  EXPECT_EQ(obj->RefCount(), 2u);
  VariantClear(&a);
  EXPECT_EQ(obj->RefCount(), 1u);
}

TEST(Variant, RejectsTypesItDoesNotKnow) {
  VARIANT v;
  VariantInit(&v);
  v.vt = 15;  // no such type
  TComVariant out;
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantCopy(&out, &v), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantChangeType(&out, &v, 0, VT_I4), DISP_E_BADVARTYPE);
  v.vt = VT_I4;
  EXPECT_EQ(VariantChangeType(&out, &v, 0, 15), DISP_E_BADVARTYPE);
}

// One conversion case: the source built by a lambda, the target type, the result and, on success, the
// target's text form (compared through a BSTR conversion, so every type is checked the same way).
struct TChangeCase {
  const char* name;
  VARTYPE fromVt;
  void (*fill)(VARIANT&);
  VARTYPE toVt;
  HRESULT hr;
  const char* text;  // result converted to BSTR; null to skip
};

void SetBstr(VARIANT& v, const char* s) {
  v.vt = VT_BSTR;
  v.bstrVal = MakeBstr(s);
}

const TChangeCase kChanges[] = {
    {"I4 to I2", VT_I4, [](VARIANT& v) { v.lVal = -32768; }, VT_I2, S_OK, "-32768"},
    {"I4 to I2 overflow", VT_I4, [](VARIANT& v) { v.lVal = 32768; }, VT_I2, DISP_E_OVERFLOW, nullptr},
    {"negative I4 to UI4", VT_I4, [](VARIANT& v) { v.lVal = -1; }, VT_UI4, DISP_E_OVERFLOW, nullptr},
    {"UI8 max to I8", VT_UI8, [](VARIANT& v) { v.ullVal = ~0ull; }, VT_I8, DISP_E_OVERFLOW, nullptr},
    {"UI8 max to BSTR", VT_UI8, [](VARIANT& v) { v.ullVal = ~0ull; }, VT_BSTR, S_OK, "18446744073709551615"},
    {"R8 2.5 rounds to even", VT_R8, [](VARIANT& v) { v.dblVal = 2.5; }, VT_I4, S_OK, "2"},
    {"R8 3.5 rounds to even", VT_R8, [](VARIANT& v) { v.dblVal = 3.5; }, VT_I4, S_OK, "4"},
    {"R8 -2.5 rounds to even", VT_R8, [](VARIANT& v) { v.dblVal = -2.5; }, VT_I1, S_OK, "-2"},
    {"R8 255.5 to UI1 overflows", VT_R8, [](VARIANT& v) { v.dblVal = 255.5; }, VT_UI1, DISP_E_OVERFLOW,
     nullptr},
    {"R8 1e300 to R4", VT_R8, [](VARIANT& v) { v.dblVal = 1e300; }, VT_R4, DISP_E_OVERFLOW, nullptr},
    {"R8 to BSTR", VT_R8, [](VARIANT& v) { v.dblVal = 1.5; }, VT_BSTR, S_OK, "1.5"},
    {"R4 to BSTR", VT_R4, [](VARIANT& v) { v.fltVal = 0.1f; }, VT_BSTR, S_OK, "0.1"},
    {"CY to BSTR", VT_CY, [](VARIANT& v) { v.cyVal.int64 = -12345; }, VT_BSTR, S_OK, "-1.2345"},
    {"small negative CY to BSTR", VT_CY, [](VARIANT& v) { v.cyVal.int64 = -5000; }, VT_BSTR, S_OK, "-0.5"},
    {"CY to I4 rounds", VT_CY, [](VARIANT& v) { v.cyVal.int64 = 15000; }, VT_I4, S_OK, "2"},
    {"R8 to CY", VT_R8, [](VARIANT& v) { v.dblVal = 1.23456; }, VT_CY, S_OK, "1.2346"},
    {"I8 max to CY", VT_I8, [](VARIANT& v) { v.llVal = INT64_MAX; }, VT_CY, DISP_E_OVERFLOW, nullptr},
    {"BOOL true to I2", VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_TRUE; }, VT_I2, S_OK, "-1"},
    {"BOOL true to UI1", VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_TRUE; }, VT_UI1, S_OK, "255"},
    {"BOOL to BSTR", VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_FALSE; }, VT_BSTR, S_OK, "False"},
    {"I4 to BOOL", VT_I4, [](VARIANT& v) { v.lVal = 7; }, VT_BOOL, S_OK, "True"},
    {"EMPTY to I4", VT_EMPTY, [](VARIANT&) {}, VT_I4, S_OK, "0"},
    {"EMPTY to BSTR", VT_EMPTY, [](VARIANT&) {}, VT_BSTR, S_OK, ""},
    {"BSTR to I4", VT_BSTR, [](VARIANT& v) { SetBstr(v, " 42 "); }, VT_I4, S_OK, "42"},
    {"BSTR comma decimal to R8", VT_BSTR, [](VARIANT& v) { SetBstr(v, "1,25"); }, VT_R8, S_OK, "1.25"},
    {"BSTR to UI1 overflow", VT_BSTR, [](VARIANT& v) { SetBstr(v, "256"); }, VT_UI1, DISP_E_OVERFLOW,
     nullptr},
    {"BSTR text to I4", VT_BSTR, [](VARIANT& v) { SetBstr(v, "12abc"); }, VT_I4, DISP_E_TYPEMISMATCH,
     nullptr},
    {"empty BSTR to R8", VT_BSTR, [](VARIANT& v) { SetBstr(v, ""); }, VT_R8, DISP_E_TYPEMISMATCH, nullptr},
    {"BSTR to BOOL", VT_BSTR, [](VARIANT& v) { SetBstr(v, "TRUE"); }, VT_BOOL, S_OK, "True"},
    {"BSTR yes to BOOL", VT_BSTR, [](VARIANT& v) { SetBstr(v, "yes"); }, VT_BOOL, DISP_E_TYPEMISMATCH,
     nullptr},
    {"BSTR to DATE", VT_BSTR, [](VARIANT& v) { SetBstr(v, "31.12.2020 23:59:58"); }, VT_DATE, S_OK,
     "31.12.2020 23:59:58"},
    {"ISO BSTR to DATE", VT_BSTR, [](VARIANT& v) { SetBstr(v, "2021-02-03"); }, VT_DATE, S_OK, "03.02.2021"},
    {"bad date BSTR", VT_BSTR, [](VARIANT& v) { SetBstr(v, "30.02.2021"); }, VT_DATE, DISP_E_TYPEMISMATCH,
     nullptr},
    {"DATE time only to BSTR", VT_DATE, [](VARIANT& v) { v.date = 0.5; }, VT_BSTR, S_OK, "12:00:00"},
    {"R8 beyond DATE range", VT_R8, [](VARIANT& v) { v.dblVal = 3e6; }, VT_DATE, DISP_E_OVERFLOW, nullptr},
    {"DATE to I4", VT_DATE, [](VARIANT& v) { v.date = 44000.75; }, VT_I4, S_OK, "44001"},
    {"ERROR to I4", VT_ERROR, [](VARIANT& v) { v.scode = E_FAIL; }, VT_I4, DISP_E_TYPEMISMATCH, nullptr},
    {"I4 to ERROR", VT_I4, [](VARIANT& v) { v.lVal = 1; }, VT_ERROR, DISP_E_TYPEMISMATCH, nullptr},
    {"NULL to I4", VT_NULL, [](VARIANT&) {}, VT_I4, DISP_E_TYPEMISMATCH, nullptr},
    {"I4 to EMPTY", VT_I4, [](VARIANT& v) { v.lVal = 3; }, VT_EMPTY, S_OK, ""},
};

class VariantChange : public ::testing::TestWithParam<TChangeCase> {};

TEST_P(VariantChange, ConvertsOrFailsWithoutTouchingTheTarget) {
  const TChangeCase& c = GetParam();
  const int64_t before = ComOutstandingAllocations();
  {
    TComVariant src;
    src.vt = c.fromVt;
    c.fill(src);
    TComVariant dst;
    dst.vt = VT_I2;
    dst.iVal = 99;
    ASSERT_EQ(VariantChangeType(&dst, &src, 0, c.toVt), c.hr) << c.name;
    if (FAILED(c.hr)) {
      EXPECT_EQ(dst.vt, VT_I2);
      EXPECT_EQ(dst.iVal, 99);
    } else {
      EXPECT_EQ(dst.vt, c.toVt);
      TComVariant text;
      ASSERT_EQ(VariantChangeType(&text, &dst, 0, VT_BSTR), S_OK);
      EXPECT_EQ(BstrToUtf8(text.bstrVal), c.text) << c.name;
      // In place: the source becomes the result.
      ASSERT_EQ(VariantChangeType(&src, &src, 0, c.toVt), S_OK);
      EXPECT_EQ(src.vt, c.toVt);
    }
  }
  EXPECT_EQ(ComOutstandingAllocations(), before) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Table, VariantChange, ::testing::ValuesIn(kChanges));

TEST(Variant, TVariantRoundTripsEveryCarriedType) {
  const TVariant values[] = {
      TVariant::Empty(),
      TVariant::Null(),
      TVariant::Int(-5, VT_I1),
      TVariant::Int(-300, VT_I2),
      TVariant::Int(70000),
      TVariant::Int(INT64_MIN, VT_I8),
      TVariant::Int(200, VT_UI1),
      TVariant::Int(65535, VT_UI2),
      TVariant::Int(4000000000, VT_UI4),
      TVariant::Single(1.5f),
      TVariant::Double(-2.25),
      TVariant::Date(45000.5),
      TVariant::Currency(-123456),
      TVariant::Bool(true),
      TVariant::Str("Тепло, \xF0\x9F\x94\xA5"),
      TVariant::Int(static_cast<int64_t>(E_FAIL), VT_ERROR),
  };
  for (const TVariant& t : values) {
    TComVariant v;
    ASSERT_EQ(TVariantToVariant(t, &v), S_OK) << t.vt;
    TVariant back;
    ASSERT_EQ(VariantToTVariant(v, back), S_OK) << t.vt;
    EXPECT_EQ(back, t) << t.vt;
  }
  TComVariant v;
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(TVariantToVariant(TVariant{static_cast<VARTYPE>(VT_ARRAY | VT_I4), 0, 0, {}}, &v),
            DISP_E_BADVARTYPE);
  // A string is stored as UTF-16 in the BSTR.
  ASSERT_EQ(TVariantToVariant(TVariant::Str("Ж"), &v), S_OK);
  EXPECT_EQ(SysStringLen(v.bstrVal), 1u);
  EXPECT_EQ(v.bstrVal[0], u'Ж');
  // A failed allocation leaves the target as it was.
  TComAllocFaults::FailAfter(0);
  EXPECT_EQ(TVariantToVariant(TVariant::Str("abc"), &v), E_OUTOFMEMORY);
  TComAllocFaults::Reset();
  EXPECT_EQ(v.bstrVal[0], u'Ж');
}

}  // namespace
}  // namespace orvela
