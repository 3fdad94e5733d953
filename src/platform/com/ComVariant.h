#pragma once
// VARIANT handling for the types the servers exchange: EMPTY, NULL, I1, I2, I4, I8, UI1, UI2, UI4, UI8,
// INT, UINT, R4, R8, CY, DATE, BSTR, BOOL, ERROR, and interface pointers for copy and clear. Conversions
// follow the automation rules: integers round half to even, out-of-range values give DISP_E_OVERFLOW,
// texts that do not read as the target give DISP_E_TYPEMISMATCH. Texts are read and written in one fixed
// form whatever the LCID: "." or "," as decimal point, dates as "dd.mm.yyyy hh:mm:ss" (or ISO on input).
#include "platform/Variant.h"
#include "platform/com/ComTypes.h"

inline constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
inline constexpr USHORT VARIANT_ALPHABOOL = 0x02;

void VariantInit(VARIANTARG* pvarg);
// Frees what the variant owns (BSTR, interface reference) and leaves it EMPTY.
HRESULT VariantClear(VARIANTARG* pvarg);
// Clears dest, then deep-copies src into it (a new BSTR, an added reference).
HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
// Converts src to vt into dest (dest may be src). On failure dest is left as it was.
HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt);
HRESULT VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid, USHORT wFlags,
                            VARTYPE vt);

namespace orvela {

// The project's own value into a VARIANT (dest is cleared first) and back. Arrays and types a TVariant
// cannot carry give DISP_E_BADVARTYPE; a BSTR that cannot be allocated gives E_OUTOFMEMORY.
HRESULT TVariantToVariant(const TVariant& value, VARIANT* dest);
HRESULT VariantToTVariant(const VARIANT& value, TVariant& dest);

// Owns one VARIANT for C++ callers and tests.
class TComVariant : public VARIANT {
 public:
  TComVariant() { VariantInit(this); }
  ~TComVariant() { VariantClear(this); }
  TComVariant(const TComVariant&) = delete;
  TComVariant& operator=(const TComVariant&) = delete;
};

}  // namespace orvela
