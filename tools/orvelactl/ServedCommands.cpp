#include "orvelactl/ServedCommands.h"

#include <algorithm>
#include <iostream>

#include "endpoint/EndpointCodec.h"
#include "opc_da/DaErrors.h"
#include "opc_hda/HdaTime.h"
#include "orvelactl/EndpointLink.h"
#include "orvelactl/ItemOutput.h"
#include "platform/Clock.h"
#include "platform/com/ComText.h"

namespace orvela::ctl {
namespace {

using std::chrono::milliseconds;

constexpr HRESULT kTimeout = static_cast<HRESULT>(0x800705B4);  // what the endpoint gives a late item
// The endpoint's own deadlines for a device read and an archive read, and what the answer may take on top.
constexpr milliseconds kReadDeadline{60'000};
constexpr milliseconds kHistoryDeadline{110'000};
constexpr milliseconds kMargin{15'000};
// A server that holds the folder but has not bound its socket yet is still starting.
constexpr milliseconds kConnectLimit{30'000};
// Identifiers per read request (the protocol's limit).
constexpr size_t kItemsPerRead = 10'000;

milliseconds Limit(const TServerOptions& options, milliseconds serverDeadline) {
  return options.Timeout().count() > 0 ? options.Timeout() : serverDeadline + kMargin;
}

std::string DaText(HRESULT code) {
  return Utf16ToUtf8(DaErrorText(code));
}

TDaValue ItemValue(const std::string& id, const Json& wire) {
  TDaValue item;
  item.id = id;
  item.error = ReplyCode(wire);
  item.quality = static_cast<WORD>(wire.value("q", 0));
  item.time = WireTime(wire.value("t", Json()));
  item.value = SUCCEEDED(item.error) ? WireValue(wire.value("v", Json())) : Json();
  return item;
}

// Reads one batch of identifiers into out.
void ReadBatch(TEndpointLink& link, const std::vector<std::string>& ids, milliseconds limit,
               std::vector<TDaValue>& out) {
  const TEndpointLink::TAnswer answer = link.Ask(Json{{"op", "read"}, {"items", ids}, {"maxAge", 0}}, limit);
  if (answer.expired && !answer.reply.value("ok", false)) {
    for (const std::string& id : ids) out.push_back(TDaValue{id, kTimeout, 0, FILETIME{}, Json()});
    return;
  }
  CheckReply(answer.reply, "read");
  const Json items = answer.reply.value("items", Json());
  if (!items.is_array() || items.size() != ids.size())
    throw EClientError("read: the reply lists other items");
  for (size_t i = 0; i < ids.size(); ++i) out.push_back(ItemValue(ids[i], items[i]));
}

int64_t WireMicros(const std::string& text, const char* option) {
  const std::optional<FILETIME> time = ParseTimeText(text, SystemClock().Now());
  if (!time) throw EClientError(std::string(option) + ": not a time: \"" + text + "\"");
  return endpoint::FileTimeToMicros(*time);
}

// One item's records of [from, to), continued while the server says there are more.
void ReadHistory(TEndpointLink& link, THdaItem& item, int64_t from, int64_t to, milliseconds limit) {
  int64_t last = from;
  bool more = true;
  bool continued = false;
  for (size_t before = 0; more; before = item.records.size()) {
    const auto onPart = [&](const Json& part) {
      for (const Json& v : part.value("values", Json::array())) {
        const int64_t t = v.value("t", int64_t{0});
        if (continued && t == last) continue;  // a continuation starts with the value it left at
        item.Add(UtcText(WireTime(v.value("t", Json()))), WireValue(v.value("v", Json())),
                 static_cast<DWORD>(v.value("q", int64_t{0})));
        last = t;
      }
    };
    const TEndpointLink::TAnswer answer = link.Ask(Json{{"op", "hist.raw"},
                                                        {"nid", item.id},
                                                        {"start", last},
                                                        {"end", to},
                                                        {"bounds", false},
                                                        {"max", 0}},
                                                   limit, onPart);
    if (answer.expired) {
      item.error = kTimeout;
      return;
    }
    if (!answer.reply.value("ok", false)) {
      item.error = ReplyCode(answer.reply);
      return;
    }
    // A page of values all at the time it started from would bring the same page again.
    more = answer.reply.value("more", false) && (!continued || item.records.size() > before);
    continued = true;
  }
}

}  // namespace

int ServedDaRead(const std::filesystem::path& socket, const TServerOptions& options,
                 const std::vector<std::string>& items) {
  TEndpointLink link(socket, kConnectLimit);
  std::vector<TDaValue> values;
  for (size_t first = 0; first < items.size(); first += kItemsPerRead) {
    const size_t last = std::min(items.size(), first + kItemsPerRead);
    ReadBatch(link, std::vector<std::string>(items.begin() + first, items.begin() + last),
              Limit(options, kReadDeadline), values);
  }
  return PrintDaValues(values, options.json, DaText);
}

int ServedDaWatch(const std::filesystem::path& socket, const TServerOptions& options,
                  const std::vector<std::string>& items, int rate, int count) {
  if (items.size() > kItemsPerRead) throw EClientError("at most 10000 items can be watched");
  TEndpointLink link(socket, kConnectLimit);
  const TEndpointLink::TAnswer answer =
      link.Ask(Json{{"op", "sub"}, {"rate", rate}, {"items", items}}, kConnectLimit);
  CheckReply(answer.reply, "sub");
  const Json results = answer.reply.value("items", Json());
  if (!results.is_array() || results.size() != items.size())
    throw EClientError("sub: the reply lists other items");
  bool good = true;
  size_t accepted = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    const HRESULT hr = ReplyCode(Json{{"hr", results[i]}});
    if (SUCCEEDED(hr)) {
      ++accepted;
      continue;
    }
    PrintDaValue(TDaValue{items[i], hr, 0, FILETIME{}, Json()}, options.json, DaText);
    good = false;
  }
  const Json sub = answer.reply.value("sub", Json());
  if (accepted == 0) return kExitItems;
  // A device that stops answering still delivers (with a bad quality); silence for longer than a read
  // could take means the server itself stopped.
  const milliseconds quiet = Limit(options, kReadDeadline) + milliseconds(rate);
  for (int changes = 0; changes < count;) {
    const std::optional<Json> event = link.NextEvent(quiet);
    if (!event) throw EClientError("no data change within " + std::to_string(quiet.count()) + " ms");
    if (event->value("ev", "") != "data" || event->value("sub", Json()) != sub) continue;
    for (const Json& wire : event->value("items", Json::array())) {
      const TDaValue item = ItemValue(wire.value("nid", std::string()), wire);
      good = good && item.Good();
      PrintDaValue(item, options.json, DaText);
    }
    std::cout.flush();
    ++changes;
  }
  link.Ask(Json{{"op", "unsub"}, {"sub", sub}}, kConnectLimit);
  return good ? kExitGood : kExitItems;
}

int ServedHdaRead(const std::filesystem::path& socket, const TServerOptions& options,
                  const std::vector<std::string>& items, const std::string& start, const std::string& end) {
  int64_t from = WireMicros(start, "--start");
  int64_t to = WireMicros(end, "--end");
  // An end before the start reads backwards: the window is the same, its later edge the one included.
  const bool reverse = to < from;
  if (reverse) {
    const int64_t later = from;
    from = to + 1;
    to = later + 1;
  }
  TEndpointLink link(socket, kConnectLimit);
  std::vector<THdaItem> read(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    read[i].id = items[i];
    if (from == to) {
      read[i].error = E_INVALIDARG;
      continue;
    }
    ReadHistory(link, read[i], from, to, Limit(options, kHistoryDeadline));
    if (reverse) std::reverse(read[i].records.begin(), read[i].records.end());
  }
  return PrintHdaItems(read, options.json);
}

EClientError NotThroughServer(const std::string& command) {
  return EClientError("a running OrvelaOPC serves the program folder and its local endpoint does not offer " +
                      command + "; stop the server to run it here");
}

}  // namespace orvela::ctl
