#include "opc_da/DaRequest.h"

#include <algorithm>

#include "platform/com/ComMemory.h"
#include "platform/com/ComVariant.h"
#include "platform/com/opc/OpcError.h"

namespace orvela {

TGroupLink::TTarget TGroupLink::Target() const {
  std::lock_guard lock(Mutex);
  if (!Alive) return {};
  return {Callback, ClientGroup};
}

HRESULT ConvertValue(VARIANT& value, VARTYPE type) {
  if (type == VT_EMPTY || value.vt == type || value.vt == VT_EMPTY) return S_OK;
  const HRESULT hr = VariantChangeType(&value, &value, 0, type);
  if (SUCCEEDED(hr)) return S_OK;
  VariantClear(&value);
  return hr == DISP_E_OVERFLOW ? OPC_E_RANGE : OPC_E_BADTYPE;
}

bool Convertible(VARTYPE canonical, VARTYPE requested) {
  if (requested == VT_EMPTY || requested == canonical) return true;
  // A plain value of the canonical type stands for all: a text that reads as a number, a zero.
  TComVariant probe;
  probe.vt = canonical;
  if (canonical == VT_BSTR) probe.bstrVal = SysAllocString(u"0");
  TComVariant out;
  return SUCCEEDED(VariantChangeType(&out, &probe, 0, requested));
}

void TDaRequest::TAnswers::Clear() {
  for (VARIANT& v : values) VariantClear(&v);
  handles.clear();
  values.clear();
  qualities.clear();
  stamps.clear();
  errors.clear();
}

TDaRequest::~TDaRequest() {
  answers_.Clear();
}

bool TDaRequest::Changed(const TItemLink& item, const TVariant& value, WORD quality) {
  return !item.Sent || item.LastQuality != quality || !(item.LastValue == value);
}

bool TDaRequest::Answer(TItemLink& item, const VARIANT& value, WORD quality, FILETIME stamp, HRESULT error) {
  VARIANT v;
  VariantInit(&v);
  if (SUCCEEDED(error) && FAILED(VariantCopy(&v, &value))) error = E_OUTOFMEMORY;
  if (SUCCEEDED(error)) error = ConvertValue(v, item.RequestedType);
  if (FAILED(error)) quality = OPC_QUALITY_BAD;
  if (kind_ == TDaRequestKind::Subscription) return AnswerSubscription(item, v, quality, stamp, error);
  TAnswers complete;
  {
    std::lock_guard lock(mutex_);
    if (finished_) {
      VariantClear(&v);
      return false;
    }
    answers_.handles.push_back(item.ClientHandle);
    answers_.values.push_back(v);
    answers_.qualities.push_back(quality);
    answers_.stamps.push_back(stamp);
    answers_.errors.push_back(error);
    if (!sealed_ || answers_.handles.size() < expected_) return true;
    finished_ = true;
    std::swap(complete, answers_);
  }
  Deliver(complete);
  complete.Clear();
  return true;
}

bool TDaRequest::AnswerSubscription(TItemLink& item, VARIANT& value, WORD quality, FILETIME stamp,
                                    HRESULT error) {
  TAnswers change;
  {
    std::lock_guard group(group_->Mutex);
    std::lock_guard lock(mutex_);
    if (finished_ || !group_->Alive || !item.Alive) {
      VariantClear(&value);
      return false;
    }
    TVariant seen;
    VariantToTVariant(value, seen);
    // An inactive or disabled group or an inactive item sends nothing; an unchanged value is not sent
    // again.
    if (!group_->Active || !group_->Enabled || !item.Active || !Changed(item, seen, quality)) {
      VariantClear(&value);
      return true;
    }
    item.Sent = true;
    item.LastValue = seen;
    item.LastQuality = quality;
    change.handles.push_back(item.ClientHandle);
    change.values.push_back(value);
    change.qualities.push_back(quality);
    change.stamps.push_back(stamp);
    change.errors.push_back(error);
  }
  Deliver(change);
  change.Clear();
  return true;
}

void TDaRequest::Seal(size_t expected) {
  TAnswers complete;
  {
    std::lock_guard lock(mutex_);
    sealed_ = true;
    expected_ = expected;
    if (finished_ || answers_.handles.size() < expected_) return;
    finished_ = true;
    std::swap(complete, answers_);
  }
  if (!complete.handles.empty()) Deliver(complete);
  complete.Clear();
}

bool TDaRequest::Cancel() {
  std::lock_guard lock(mutex_);
  if (finished_) return false;
  finished_ = true;
  answers_.Clear();
  return true;
}

bool TDaRequest::Finished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

void TDaRequest::Deliver(TAnswers& a) const {
  const auto [callback, clientGroup] = group_->Target();
  if (!callback) return;
  const DWORD count = static_cast<DWORD>(a.handles.size());
  const bool allGood =
      std::all_of(a.qualities.begin(), a.qualities.end(), [](WORD q) { return q == OPC_QUALITY_GOOD; });
  const bool noErrors = std::all_of(a.errors.begin(), a.errors.end(), [](HRESULT e) { return e == S_OK; });
  const HRESULT quality = allGood ? S_OK : S_FALSE;
  const HRESULT error = noErrors ? S_OK : S_FALSE;
  switch (kind_) {
    case TDaRequestKind::Read:
      callback->OnReadComplete(transaction_, clientGroup, quality, error, count, a.handles.data(),
                               a.values.data(), a.qualities.data(), a.stamps.data(), a.errors.data());
      break;
    case TDaRequestKind::Refresh:
    case TDaRequestKind::Subscription:
      // Periodic changes carry transaction 0; a refresh carries the client's own.
      callback->OnDataChange(transaction_, clientGroup, quality, error, count, a.handles.data(),
                             a.values.data(), a.qualities.data(), a.stamps.data(), a.errors.data());
      break;
    case TDaRequestKind::Write:
      callback->OnWriteComplete(transaction_, clientGroup, error, count, a.handles.data(), a.errors.data());
      break;
  }
}

// ---- The relay
// -------------------------------------------------------------------------------------------------

HRESULT TDaCallbackRelay::Pass(DWORD count, const VARIANT* values, const WORD* qualities,
                               const FILETIME* stamps, const HRESULT* errors) {
  VARIANT empty;
  VariantInit(&empty);
  bool wanted = true;
  for (DWORD i = 0; i < count; ++i)
    wanted = request_->Answer(*item_, values ? values[i] : empty, qualities ? qualities[i] : OPC_QUALITY_BAD,
                              stamps ? stamps[i] : FILETIME{}, errors ? errors[i] : E_FAIL) &&
             wanted;
  // Answered as a disconnected client would, so the engine drops a standing task nobody wants.
  return wanted ? S_OK : RPC_E_DISCONNECTED;
}

HRESULT TDaCallbackRelay::OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE*,
                                       VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                                       HRESULT* pErrors) {
  return Pass(dwCount, pvValues, pwQualities, pftTimeStamps, pErrors);
}

HRESULT TDaCallbackRelay::OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD dwCount, OPCHANDLE*,
                                         VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                                         HRESULT* pErrors) {
  return Pass(dwCount, pvValues, pwQualities, pftTimeStamps, pErrors);
}

HRESULT TDaCallbackRelay::OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD dwCount, OPCHANDLE*,
                                          HRESULT* pErrors) {
  return Pass(dwCount, nullptr, nullptr, nullptr, pErrors);
}

}  // namespace orvela
