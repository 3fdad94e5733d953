#include "opc_hda/HdaAttributes.h"

#include <utility>

#include "platform/com/ComMemory.h"
#include "platform/com/ComVariant.h"
#include "platform/com/opc/OpcError.h"

namespace orvela {
namespace {

constexpr THdaAttributeDecl kAttributes[] = {
    {OPCHDA_DATA_TYPE, VT_I2, "Тип данных"},
    {OPCHDA_DESCRIPTION, VT_BSTR, "Описание"},
    {OPCHDA_ENG_UNITS, VT_BSTR, "Единицы измерения"},
    {OPCHDA_NODE_NAME, VT_BSTR, "Имя узла"},
    {OPCHDA_SOURCE_NAME, VT_BSTR, "Источник"},
    {OPCHDA_SOURCE_TYPE, VT_BSTR, "Тип источника"},
    {OPCHDA_NORMAL_MAXIMUM, VT_R8, "Максимальное значение"},
    {OPCHDA_NORMAL_MINIMUM, VT_R8, "Минимальное"},
    {OPCHDA_ITEMID, VT_BSTR, "Идентификатор"},
    {OPCHDA_MAX_TIME_INT, VT_CY, "Максимальный временной интервал"},
    {OPCHDA_MIN_TIME_INT, VT_CY, "Минимальный временной интервал"},
};

constexpr THdaAggregateDecl kAggregates[] = {
    {OPCHDA_TOTAL, "Total"},     {OPCHDA_AVERAGE, "Average"},
    {OPCHDA_COUNT, "Count"},     {OPCHDA_MINIMUMACTUALTIME, "Minimum Actual Time"},
    {OPCHDA_MINIMUM, "Minimum"}, {OPCHDA_MAXIMUMACTUALTIME, "Maximum Actual Time"},
    {OPCHDA_MAXIMUM, "Maximum"}, {OPCHDA_START, "Start"},
    {OPCHDA_END, "End"},         {OPCHDA_DELTA, "Delta"},
    {OPCHDA_RANGE, "Range"},
};

template <class T>
T* TaskArray(size_t n) {
  return static_cast<T*>(CoTaskMemAlloc(sizeof(T) * (n ? n : 1)));
}

}  // namespace

std::span<const THdaAttributeDecl> HdaDeclaredAttributes() {
  return kAttributes;
}
std::span<const THdaAggregateDecl> HdaDeclaredAggregates() {
  return kAggregates;
}

const TAttribRec* FindAttribute(const TNTreeData& node, DWORD id) {
  for (const TAttribRec& a : node.Attributes)
    if (a.Id >= 0 && static_cast<DWORD>(a.Id) == id) return &a;
  return nullptr;
}

THdaAttributeAnswer::~THdaAttributeAnswer() {
  Free();
}

bool THdaAttributeAnswer::Build(const TTree& tree, const TNTreeData* node, OPCHANDLE client,
                                std::span<const DWORD> ids, const Clock& clock) {
  Free();
  count_ = static_cast<DWORD>(ids.size());
  records_ = TaskArray<OPCHDA_ATTRIBUTE>(ids.size());
  errors_ = TaskArray<HRESULT>(ids.size());
  if (!records_ || !errors_) {
    Free();
    return false;
  }
  for (DWORD i = 0; i < count_; ++i) {
    records_[i] = OPCHDA_ATTRIBUTE{0, 0, ids[i], nullptr, nullptr};
    errors_[i] = node ? OPC_E_INVALIDATTRID : OPC_E_INVALIDHANDLE;
  }
  const FILETIME now = UtcDateTimeToFileTime(clock.NowUtc());
  auto lock = tree.ReadLock();
  for (DWORD i = 0; i < count_; ++i) {
    OPCHDA_ATTRIBUTE& r = records_[i];
    r.ftTimeStamps = TaskArray<FILETIME>(1);
    r.vAttributeValues = TaskArray<VARIANT>(1);
    if (r.ftTimeStamps) *r.ftTimeStamps = FILETIME{};
    if (r.vAttributeValues) VariantInit(r.vAttributeValues);
    if (!r.ftTimeStamps || !r.vAttributeValues) {
      Free();
      return false;
    }
    const TAttribRec* slot = node ? FindAttribute(*node, ids[i]) : nullptr;
    if (!slot) continue;
    if (FAILED(TVariantToVariant(slot->Value, r.vAttributeValues))) {
      Free();
      return false;
    }
    errors_[i] = OPC_S_CURRENTVALUE;
    r.hClient = client;
    r.dwNumValues = 1;
    *r.ftTimeStamps = now;
    found_ = true;
  }
  return true;
}

void THdaAttributeAnswer::Release(OPCHDA_ATTRIBUTE** records, HRESULT** errors) {
  *records = std::exchange(records_, nullptr);
  *errors = std::exchange(errors_, nullptr);
  count_ = 0;
}

void THdaAttributeAnswer::Free() {
  if (records_)
    for (DWORD i = 0; i < count_; ++i) {
      if (records_[i].vAttributeValues) {
        VariantClear(records_[i].vAttributeValues);
        CoTaskMemFree(records_[i].vAttributeValues);
      }
      CoTaskMemFree(records_[i].ftTimeStamps);
    }
  CoTaskMemFree(records_);
  CoTaskMemFree(errors_);
  records_ = nullptr;
  errors_ = nullptr;
  count_ = 0;
  found_ = false;
}

}  // namespace orvela
