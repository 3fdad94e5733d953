#pragma once
// The work item a reader thread carries out: one due task of a connection order, copied for the reader (a
// group of parameters of one branch carries its sub-items). The driver reads the node and the interval
// from it and, where a family says so, sets the read result itself; the engine returns the result through
// it to the client.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "links/records/ConnRecords.h"
#include "platform/DateTime.h"
#include "platform/Variant.h"

namespace orvela {

struct TNTreeData;
struct TStructRead;  // the engine's task
class TCallbackRef;  // the engine's hold on a client's callback

// Shapes of a work item.
constexpr int32_t kWorkSingle = 1;
constexpr int32_t kWorkGroup = 2;

// Owned by the connection order's work list; sub-items by their group.
struct TDescThread {
  TConnKey ConnKey;
  int32_t Kind = 0;         // the task kind (1, 3, 11, 12, 20)
  int32_t ReadNeeded = 1;   // 1: the device must be read; 0: the driver returns what it already holds
  int32_t ReadResult = 0;   // 1 once the driver reported success
  int32_t ArchiveStep = 0;  // ms
  // A group's lowest and highest parameter address.
  int32_t LowestAddress = 0xFFFF;
  int32_t HighestAddress = -1;
  int32_t ItemHandle = 0;
  int32_t ClientHandle = 0;
  int32_t ClientTransaction = 0;
  int32_t TransactionNumber = 0;
  const void* Group = nullptr;  // DA: the group object (pointer-sized: it holds a pointer)
  int32_t ClientGroup = 0;
  int32_t Constant1 = 1;
  TStructRead* Task = nullptr;  // not owned
  TNTreeData* Node = nullptr;   // not owned
  std::string Serial;           // up to 8 characters
  TDescThread* LowestItem = nullptr;
  TDescThread* HighestItem = nullptr;
  // Shared with the task: the global interface table serves it as often as needed. Empty when synchronous.
  std::shared_ptr<TCallbackRef> Callback;
  int32_t Shape = kWorkSingle;
  std::vector<std::unique_ptr<TDescThread>> SubItems;  // a group's, owned
  TDateTime WindowStart = 0;                           // HDA: where the next reading starts
  TDateTime Start = 0;
  TDateTime End = 0;
  TVariant Value;  // DA write
  bool Merged = false;
  bool Synchronous = false;
};

}  // namespace orvela
