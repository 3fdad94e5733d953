#pragma once
// The engine answers a DA request one item at a time, with the handle its tree node carries. A client
// expects one callback per transaction with all its items, each under the handle it gave the group item,
// in the data type it asked for. A TDaRequest gathers the items' answers of one transaction and calls the
// client once; the group's subscription is a standing request that passes on only what changed.
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Variant.h"
#include "platform/com/ComObject.h"
#include "platform/com/opc/OpcDa.h"

namespace orvela {

// What the requests know of one group item; shared with the item, read from whichever thread answers.
struct TItemLink {
  std::atomic<OPCHANDLE> ClientHandle{0};
  // Cleared when the item or its group goes.
  std::atomic<bool> Alive{true};
  std::atomic<bool> Active{true};
  // The type the client asked for; VT_EMPTY: the value as the device gives it.
  std::atomic<VARTYPE> RequestedType{VT_EMPTY};
  // What the subscription last sent (guarded by the group link's mutex); Sent false: send the next value.
  bool Sent = false;
  TVariant LastValue;
  WORD LastQuality = 0;
};

// What the requests know of their group: shared with every request in flight.
struct TGroupLink {
  mutable std::mutex Mutex;
  TComPtr<IOPCDataCallback> Callback;
  OPCHANDLE ClientGroup = 0;
  bool Active = false;
  // IOPCAsyncIO2::SetEnable: while false the subscription sends nothing (refreshes and reads still do).
  bool Enabled = true;
  // Cleared when the group is removed: nothing more reaches the client from it.
  bool Alive = true;
  struct TTarget {
    TComPtr<IOPCDataCallback> callback;
    OPCHANDLE clientGroup = 0;
  };
  // The client's callback and group handle while the group lives, else no callback.
  TTarget Target() const;
  TComPtr<IOPCDataCallback> LiveCallback() const { return Target().callback; }
};

enum class TDaRequestKind { Read, Refresh, Write, Subscription };

// Converts value in place to type (VT_EMPTY: left as it is). OPC_E_BADTYPE when the value does not
// convert, OPC_E_RANGE when it does not fit; the value is then left empty.
HRESULT ConvertValue(VARIANT& value, VARTYPE type);
// Whether values of the canonical type can be given in the requested one at all.
bool Convertible(VARTYPE canonical, VARTYPE requested);

class TDaRequest {
 public:
  TDaRequest(std::shared_ptr<TGroupLink> group, TDaRequestKind kind, DWORD transaction)
      : group_(std::move(group)), kind_(kind), transaction_(transaction) {}
  ~TDaRequest();
  TDaRequest(const TDaRequest&) = delete;
  TDaRequest& operator=(const TDaRequest&) = delete;

  // One item's answer. False when the request takes no more answers (done, cancelled, group gone), so
  // the engine drops a standing task that still answers.
  bool Answer(TItemLink& item, const VARIANT& value, WORD quality, FILETIME stamp, HRESULT error);
  // Every item of the request is queued: the request is complete after expected answers.
  void Seal(size_t expected);
  // True when the request was still waiting; it then passes nothing more on.
  bool Cancel();
  bool Finished() const;
  DWORD Transaction() const { return transaction_; }
  // The subscription's answer when the value or quality differs from what was last sent.
  static bool Changed(const TItemLink& item, const TVariant& value, WORD quality);

 private:
  struct TAnswers {
    std::vector<OPCHANDLE> handles;
    std::vector<VARIANT> values;
    std::vector<WORD> qualities;
    std::vector<FILETIME> stamps;
    std::vector<HRESULT> errors;
    void Clear();
  };
  bool AnswerSubscription(TItemLink& item, VARIANT& value, WORD quality, FILETIME stamp, HRESULT error);
  // Calls the client with answers (the lock is not held: the client may call the group back).
  void Deliver(TAnswers& answers) const;

  std::shared_ptr<TGroupLink> group_;
  const TDaRequestKind kind_;
  const DWORD transaction_;
  mutable std::mutex mutex_;
  TAnswers answers_;
  size_t expected_ = 0;
  bool sealed_ = false;
  bool finished_ = false;
};

// Relays the engine's answers for one item of one request into the request.
class TDaCallbackRelay final : public TComObject<IOPCDataCallback> {
 public:
  TDaCallbackRelay(std::shared_ptr<TDaRequest> request, std::shared_ptr<TItemLink> item)
      : request_(std::move(request)), item_(std::move(item)) {}

  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                         HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                                         VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                                         HRESULT* pErrors) override;
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMasterquality,
                                           HRESULT hrMastererror, DWORD dwCount, OPCHANDLE* phClientItems,
                                           VARIANT* pvValues, WORD* pwQualities, FILETIME* pftTimeStamps,
                                           HRESULT* pErrors) override;
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD dwTransid, OPCHANDLE hGroup, HRESULT hrMastererr,
                                            DWORD dwCount, OPCHANDLE* pClienthandles,
                                            HRESULT* pErrors) override;
  // The group tells the client of its cancels itself.
  HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

 private:
  HRESULT Pass(DWORD count, const VARIANT* values, const WORD* qualities, const FILETIME* stamps,
               const HRESULT* errors);

  std::shared_ptr<TDaRequest> request_;
  std::shared_ptr<TItemLink> item_;
};

}  // namespace orvela
