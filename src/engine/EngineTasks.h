#pragma once
// The records that carry a client request through the polling engine: the task (one per item and
// request), the work item a connection order hands its reader, and the result sets the reader returns.
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "drivers/WorkItem.h"
#include "engine/CallbackRef.h"
#include "links/records/ConnRecords.h"
#include "platform/DateTime.h"
#include "platform/Variant.h"
#include "platform/com/WinTypes.h"

namespace orvela {

struct TNTreeData;
struct TStructMon;

enum TTaskKind : int32_t {
  tkHdaRead = 1,
  tkHdaAdvise = 3,
  tkDaRead = 11,
  tkDaRefresh = 12,
  tkDaWrite = 20,
  tkHdaCancel = 101,
  tkDaCancel = 110,
};

enum TTaskState : int32_t {
  tsWaiting = 0,
  tsDelete = 1,
  tsRequeue = 2,
  tsHandedOut = 10,
};

constexpr bool IsPeriodicKind(int32_t kind) {
  return kind == tkHdaAdvise || kind == tkDaRefresh;
}
constexpr bool IsHdaKind(int32_t kind) {
  return kind == tkHdaRead || kind == tkHdaAdvise;
}
constexpr bool IsDaKind(int32_t kind) {
  return kind == tkDaRead || kind == tkDaRefresh || kind == tkDaWrite;
}
constexpr bool IsCancelKind(int32_t kind) {
  return kind == tkHdaCancel || kind == tkDaCancel;
}

// The OPC object a request belongs to: a DA group or an HDA server object. Transaction numbers are only
// unique per owner, so cancels look tasks up by owner and number together.
using TTaskOwner = const void*;

// An HDA time as the client gave it: text or a UTC file time (the server objects resolve texts first).
struct TTaskTime {
  bool IsText = false;
  std::u16string Text;
  FILETIME Time{};
};

// A task (one item of one request). Owned by the incoming list, then by its connection order.
struct TStructRead {
  int32_t ClientTransaction = 0;
  int32_t Constant1 = 1;
  int32_t CountOrCancel = 0;  // HDA read: the caller's cancel number; DA write: the item count
  int32_t ItemHandle = 0;
  int32_t TransactionNumber = 0;
  TTaskTime StartTime;
  TTaskTime WindowStart;
  TTaskTime EndTime;
  TDateTime Created = 0;     // UTC
  TDateTime LastServed = 0;  // UTC
  TDateTime Interval = 0;  // HDA subscription: the update interval as a date-time span
  // Written by the queue thread and the reader thread, so one atomic word.
  std::atomic<int32_t> State{tsWaiting};
  int32_t FirstTime = 0;
  int32_t ReadNeeded = 0;
  int64_t ArchiveStep = 0;  // ms
  int32_t Served = 0;
  std::string Text1, Text2;
  std::string Serial;
  std::shared_ptr<TCallbackRef> Callback;  // empty for synchronous requests
  int32_t ConnIndex = -1;
  TNTreeData* Node = nullptr;
  TConnKey ConnKey;
  std::weak_ptr<TStructMon> MonitorRow;  // the task's monitor row while the monitor shows it
  TVariant Value;                        // DA write
  bool Synchronous = false;
  int32_t Elapsed = 0;  // HDA subscription: ms since its last reading
  int32_t Kind = 0;
  TTaskOwner Owner = nullptr;    // DA: the group object; HDA: the server object
  int32_t ClientGroup = 0;       // DA: the client's group handle
  int64_t UpdateIntervalMs = 0;  // HDA subscription: the raw update interval
  int32_t UpdateRate = 0;        // DA refresh: the group's update rate in ms
  int64_t NextTime = 0;          // HDA subscription: file-time span to its next reading
  // Set by a cancel; a reader returning the task then finishes it instead of putting it back in line.
  std::atomic<bool> Cancelled{false};
  // Cancel tasks: item handles to withdraw (empty: every item of the owner / transaction).
  std::vector<int32_t> WithdrawHandles;
};

// One HDA value record as the reader gathers it.
struct THdaRecord {
  FILETIME Time{};
  DWORD Quality = 0;
  TVariant Value;
};

// What the reader hands back for an HDA item (or a group of them).
struct TResultsHDA {
  int32_t ClientTransaction = 0;
  int32_t TransactionNumber = 0;
  int32_t ClientHandle = 0;
  int32_t ItemHandle = 0;  // the server handle the result is for
  std::vector<THdaRecord> Records;
  HRESULT Error = S_OK;
  std::vector<std::unique_ptr<TResultsHDA>> SubResults;
  int32_t RecordCount() const { return static_cast<int32_t>(Records.size()); }
};

// What the reader hands back for DA items. Kept in owned vectors; the return converts them into task
// memory at the moment they go to the client.
struct TResultsDA {
  int32_t TransactionNumber = 0;
  int32_t ItemHandle = 0;  // the server handle the result is for
  std::vector<int32_t> ClientHandles;
  std::vector<TVariant> Values;
  std::vector<uint16_t> Qualities;
  std::vector<FILETIME> TimeStamps;
  std::vector<HRESULT> Errors;
  std::vector<std::unique_ptr<TResultsDA>> SubResults;
  size_t Count() const { return ClientHandles.size(); }
};

}  // namespace orvela
