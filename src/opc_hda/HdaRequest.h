#pragma once
// An asynchronous request of an HDA server object as its client sees it, and the relay through which the
// engine answers each of its items. The relay stands in for the client's callback: it labels the item
// with the client's own handle, draws a raw read's range, bounds and count, drops whatever comes after a
// cancel, and passes the client's result back, so that a client that has gone ends the engine's task.
// The relay runs in the server's (main) apartment: the readers reach it through the marshalled reference
// the engine keeps.
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>

#include "engine/CallbackRef.h"
#include "opc_hda/HdaRawRead.h"
#include "platform/com/opc/OpcSinks.h"

namespace orvela {

class THdaRequest {
 public:
  // A subscription is never finished: only a cancel ends it.
  static constexpr size_t kOpenEnded = std::numeric_limits<size_t>::max();

  THdaRequest(DWORD cancelId, std::shared_ptr<TCallbackRef> client, size_t items)
      : id_(cancelId), client_(std::move(client)), outstanding_(items) {}

  DWORD CancelId() const { return id_; }
  // The client's callback for the calling thread's apartment; fails when the client has gone.
  HRESULT Client(TComPtr<IOPCHDA_DataCallback>& out) const;
  // False when the request was finished or cancelled already. From now on nothing reaches the client
  // but OnCancelComplete.
  bool Cancel();
  bool Cancelled() const { return cancelled_; }
  // Tells the client its request is cancelled.
  void CompleteCancel() const;
  // One item answered (or never to be); with the last the request is finished.
  void ItemDone();
  bool Finished() const { return outstanding_ == 0; }

 private:
  DWORD id_;
  std::shared_ptr<TCallbackRef> client_;
  std::atomic<bool> cancelled_{false};
  std::atomic<size_t> outstanding_;
};

class THdaItemRelay final : public TOpcHdaDataSink {
 public:
  // read: the raw read to draw; none for a subscription, whose records pass as they come.
  THdaItemRelay(std::shared_ptr<THdaRequest> request, OPCHANDLE client, std::optional<THdaRawRead> read)
      : request_(std::move(request)), client_(client), read_(std::move(read)) {}

  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD tx, HRESULT status, DWORD n, OPCHDA_ITEM* items,
                                         HRESULT* errors) override {
    return Forward(false, tx, status, n, items, errors);
  }
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD tx, HRESULT status, DWORD n, OPCHDA_ITEM* items,
                                           HRESULT* errors) override {
    return Forward(true, tx, status, n, items, errors);
  }

 private:
  HRESULT Forward(bool read, DWORD tx, HRESULT status, DWORD n, OPCHDA_ITEM* items, HRESULT* errors);

  std::shared_ptr<THdaRequest> request_;
  OPCHANDLE client_;
  std::optional<THdaRawRead> read_;
};

}  // namespace orvela
