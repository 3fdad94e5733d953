#include "opc_hda/HdaRequest.h"

#include <vector>

#include "opc_hda/HdaItemAnswer.h"
#include "platform/com/ComVariant.h"

namespace orvela {
namespace {

// The engine's records of one item.
std::vector<THdaRecord> RecordsOf(const OPCHDA_ITEM& item) {
  std::vector<THdaRecord> records(item.dwCount);
  for (DWORD k = 0; k < item.dwCount; ++k) {
    records[k].Time = item.pftTimeStamps[k];
    records[k].Quality = item.pdwQualities[k];
    VariantToTVariant(item.pvDataValues[k], records[k].Value);
  }
  return records;
}

}  // namespace

HRESULT THdaRequest::Client(TComPtr<IOPCHDA_DataCallback>& out) const {
  if (!client_) return CO_E_OBJNOTCONNECTED;
  const HRESULT hr = client_->Get(out);
  return FAILED(hr) ? hr : out ? S_OK : CO_E_OBJNOTCONNECTED;
}

bool THdaRequest::Cancel() {
  if (Finished()) return false;
  return !cancelled_.exchange(true);
}

void THdaRequest::CompleteCancel() const {
  TComPtr<IOPCHDA_DataCallback> sink;
  if (SUCCEEDED(Client(sink))) sink->OnCancelComplete(id_);
}

void THdaRequest::ItemDone() {
  size_t left = outstanding_;
  while (left != 0 && left != kOpenEnded && !outstanding_.compare_exchange_weak(left, left - 1)) {
  }
}

HRESULT THdaItemRelay::Forward(bool read, DWORD tx, HRESULT status, DWORD n, OPCHDA_ITEM* items,
                               HRESULT* errors) {
  if (request_->Cancelled()) return S_OK;  // dropped: the client was told its request is cancelled
  TComPtr<IOPCHDA_DataCallback> sink;
  if (HRESULT hr = request_->Client(sink); FAILED(hr)) return hr;
  std::vector<THdaRecord> records;
  if (n > 0 && items) records = RecordsOf(items[0]);
  HRESULT error = n > 0 && errors ? errors[0] : S_OK;
  if (read_ && SUCCEEDED(error)) error = read_->Shape(records);
  if (FAILED(error)) records.clear();
  THdaItemAnswer answer;
  if (!answer.Allocate(1, error)) return E_OUTOFMEMORY;
  answer.Item(0).hClient = client_;
  answer.Fill(0, records, error);
  const HRESULT hr = read ? sink->OnReadComplete(tx, status, 1, &answer.Item(0), &answer.Error(0))
                          : sink->OnDataChange(tx, status, 1, &answer.Item(0), &answer.Error(0));
  if (read) request_->ItemDone();
  return hr;
}

}  // namespace orvela
