#pragma once
// How the da and hda commands print what they read, whichever way it was read (the server objects hosted
// in this process, or a running server's endpoint): one form of output and one rule for the exit code.
#include <functional>
#include <string>
#include <vector>

#include "orvelactl/ServerClient.h"

namespace orvela::ctl {

// One DA item's answer; value is what VariantJson gives (null when the item failed).
struct TDaValue {
  std::string id;
  HRESULT error = S_OK;
  WORD quality = 0;
  FILETIME time{};
  Json value;

  bool Good() const;
};

// The text of a result code, as the DA server words it.
using TErrorText = std::function<std::string(HRESULT)>;

Json DaValueJson(const TDaValue& item);
// One line: a JSON object, or the item as people read it.
void PrintDaValue(const TDaValue& item, bool json, const TErrorText& errorText);
// The answers of a read, in order: a JSON array or one line each. kExitGood when every item is good.
int PrintDaValues(const std::vector<TDaValue>& items, bool json, const TErrorText& errorText);

// The records of one HDA item.
struct THdaItem {
  std::string id;
  HRESULT error = S_OK;
  std::vector<Json> records;
  bool good = true;

  // time: its UTC text.
  void Add(std::string time, Json value, DWORD quality);
  bool Good() const { return SUCCEEDED(error) && good; }
  Json ToJson() const;
  // One JSON line, or the text form.
  void PrintLine(bool json) const;
  void PrintText() const;
};

// The items of a read: a JSON array or the text form. kExitGood when every item and record is good.
int PrintHdaItems(const std::vector<THdaItem>& items, bool json);

}  // namespace orvela::ctl
