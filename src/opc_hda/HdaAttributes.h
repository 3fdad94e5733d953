#pragma once
// What the HDA server declares (item attributes and aggregates) and how an item's attributes are answered
// from its node's attribute slots.
#include <cstdint>
#include <span>
#include <vector>

#include "platform/Clock.h"
#include "platform/com/opc/OpcHda.h"
#include "tree/TreeItem.h"

namespace orvela {

struct THdaAttributeDecl {
  DWORD id;
  VARTYPE type;
  const char* text;  // name and description alike
};
std::span<const THdaAttributeDecl> HdaDeclaredAttributes();

struct THdaAggregateDecl {
  DWORD id;
  const char* text;
};
std::span<const THdaAggregateDecl> HdaDeclaredAggregates();

// The OPCHDA_ATTRIBUTE records and errors of one attribute read, in task memory, in the order asked.
class THdaAttributeAnswer {
 public:
  THdaAttributeAnswer() = default;
  ~THdaAttributeAnswer();
  THdaAttributeAnswer(const THdaAttributeAnswer&) = delete;
  THdaAttributeAnswer& operator=(const THdaAttributeAnswer&) = delete;

  // Answers each id from the node's slots (node null: every id OPC_E_INVALIDHANDLE), the records found
  // carrying the client's handle. False when task memory ran out (nothing is left allocated then).
  bool Build(const TTree& tree, const TNTreeData* node, OPCHANDLE client, std::span<const DWORD> ids,
             const Clock& clock);
  // At least one attribute was found.
  bool AnyFound() const { return found_; }
  OPCHDA_ATTRIBUTE* Records() const { return records_; }
  HRESULT* Errors() const { return errors_; }
  // Hands the arrays to the caller (who frees them as a client does).
  void Release(OPCHDA_ATTRIBUTE** records, HRESULT** errors);

 private:
  void Free();
  DWORD count_ = 0;
  OPCHDA_ATTRIBUTE* records_ = nullptr;
  HRESULT* errors_ = nullptr;
  bool found_ = false;
};

// The slot of the node holding attribute id, or null (slots with a negative id hold nothing).
const TAttribRec* FindAttribute(const TNTreeData& node, DWORD id);

}  // namespace orvela
