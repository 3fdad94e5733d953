#include "orvelactl/ItemOutput.h"

#include <iostream>

#include "platform/com/opc/OpcDa.h"

namespace orvela::ctl {
namespace {

// The quality bits of a record whose value the device gave.
constexpr DWORD kGoodRecordMask = 0xC0;

std::string Dump(const Json& json, int indent) {
  return json.dump(indent, ' ', false, Json::error_handler_t::replace);
}

// A value as people read it ("(empty)" for none).
std::string ValueText(const Json& value) {
  if (value.is_null()) return "(empty)";
  if (value.is_string()) return value.get<std::string>();
  return value.dump();
}

// A record's value as people read it ("null" for none).
std::string RecordText(const Json& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

}  // namespace

bool TDaValue::Good() const {
  return SUCCEEDED(error) && (quality & OPC_QUALITY_MASK) == OPC_QUALITY_GOOD;
}

Json DaValueJson(const TDaValue& item) {
  return Json{{"item", item.id},
              {"value", SUCCEEDED(item.error) ? item.value : Json(nullptr)},
              {"quality", item.quality},
              {"timestamp", UtcText(item.time)},
              {"error", HexCode(item.error)}};
}

void PrintDaValue(const TDaValue& item, bool json, const TErrorText& errorText) {
  if (json) {
    std::cout << Dump(DaValueJson(item), -1) << "\n";
    return;
  }
  if (FAILED(item.error)) {
    const std::string text = errorText(item.error);
    std::cout << item.id << ": error " << HexCode(item.error) << (text.empty() ? "" : " " + text) << "\n";
    return;
  }
  std::cout << item.id << " = " << ValueText(item.value) << "  quality " << item.quality << "  "
            << UtcText(item.time) << "\n";
}

int PrintDaValues(const std::vector<TDaValue>& items, bool json, const TErrorText& errorText) {
  bool allGood = true;
  Json out = Json::array();
  for (const TDaValue& item : items) {
    allGood = allGood && item.Good();
    if (json)
      out.push_back(DaValueJson(item));
    else
      PrintDaValue(item, false, errorText);
  }
  if (json) std::cout << Dump(out, 2) << "\n";
  return allGood ? kExitGood : kExitItems;
}

void THdaItem::Add(std::string time, Json value, DWORD quality) {
  good = good && (quality & kGoodRecordMask) == kGoodRecordMask;
  records.push_back(Json{{"time", std::move(time)},
                         {"value", std::move(value)},
                         {"quality", HexCode(static_cast<HRESULT>(quality))}});
}

Json THdaItem::ToJson() const {
  return Json{{"item", id}, {"error", HexCode(error)}, {"records", records}};
}

void THdaItem::PrintLine(bool json) const {
  if (json)
    std::cout << Dump(ToJson(), -1) << "\n";
  else
    PrintText();
}

void THdaItem::PrintText() const {
  if (FAILED(error)) {
    std::cout << id << ": error " << HexCode(error) << "\n";
    return;
  }
  std::cout << id << ": " << records.size() << " record(s)\n";
  for (const Json& r : records)
    std::cout << "  " << r["time"].get<std::string>() << "  " << RecordText(r["value"]) << "  quality "
              << r["quality"].get<std::string>() << "\n";
}

int PrintHdaItems(const std::vector<THdaItem>& items, bool json) {
  bool good = true;
  Json out = Json::array();
  for (const THdaItem& item : items) {
    good = good && item.Good();
    if (json)
      out.push_back(item.ToJson());
    else
      item.PrintText();
  }
  if (json) std::cout << Dump(out, 2) << "\n";
  return good ? kExitGood : kExitItems;
}

}  // namespace orvela::ctl
