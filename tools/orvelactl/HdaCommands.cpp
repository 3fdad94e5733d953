// orvelactl hda: archive records and item attributes read through the HDA server object hosted in this
// process, as a client reads them (item handles, ReadRaw, AdviseRaw, ReadAttribute). On a folder a running
// server serves, archive reads go through its endpoint instead.
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include "opc_hda/HdaServerClass.h"
#include "opc_hda/HdaTime.h"
#include "orvelactl/Commands.h"
#include "orvelactl/FolderClaim.h"
#include "orvelactl/ItemOutput.h"
#include "orvelactl/ServedCommands.h"
#include "orvelactl/ServerClient.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComRuntime.h"
#include "platform/com/ComText.h"
#include "platform/com/ComVariant.h"
#include "platform/com/opc/OpcHda.h"
#include "platform/com/opc/OpcSinks.h"

namespace orvela::ctl {
namespace {

constexpr const char* kTimeForms =
    "Times: ISO 8601 local (2024-03-02T10:00) or UTC with Z (2024-03-02T07:00Z), or an HDA time text "
    "(NOW, DAY, NOW-1D, HOUR+2H ...).";
constexpr const char* kExitCodes =
    "Exit code: 0 when every item was read and every record is good, 1 when any item was refused or failed "
    "or a record is not good (all are still printed), 2 when the server could not be started or asked or "
    "a time is malformed.";

struct THdaOptions : TServerOptions {
  std::string start;
  std::string end;
  double interval = 0;  // seconds
  int count = 1;
  std::vector<std::string> items;
};

// A time of the command line as the client hands it to the server: an ISO time as a file time, an HDA
// text as the text itself (the server resolves it), checked first so that a typo is a clear error.
class TClientTime {
 public:
  TClientTime(const std::string& text, const char* option) {
    if (auto iso = ParseIsoTime(text)) {
      time_.ftTime = *iso;
      return;
    }
    if (!ParseHdaRelativeTime(text, SystemClock().Now()))
      throw EClientError(std::string(option) + ": not a time: \"" + text + "\"");
    text_ = Utf8ToUtf16(text);
    time_.bString = TRUE;
  }
  // A fresh record per call: the server may overwrite what it is given.
  OPCHDA_TIME Record() {
    OPCHDA_TIME record = time_;
    record.szTime = time_.bString ? text_.data() : nullptr;
    return record;
  }

 private:
  OPCHDA_TIME time_{};
  std::u16string text_;
};

// The records of one item as the server handed them.
void Take(THdaItem& item, const OPCHDA_ITEM& records) {
  for (DWORD k = 0; k < records.dwCount; ++k)
    item.Add(records.pftTimeStamps ? UtcText(records.pftTimeStamps[k]) : "",
             records.pvDataValues ? VariantJson(records.pvDataValues[k]) : Json(nullptr),
             records.pdwQualities ? records.pdwQualities[k] : 0);
}

// The server and the handles of the items it knows; the server goes before the host.
class THdaSession {
 public:
  explicit THdaSession(const THdaOptions& options) : host_(options.dir, options.Timeout()) {
    server_ = host_.Create<IOPCHDA_Server>(kHdaProgId);
    std::vector<std::u16string> wide;
    for (const std::string& id : options.items) wide.push_back(Utf8ToUtf16(id));
    std::vector<LPWSTR> ids;
    std::vector<OPCHANDLE> clients;
    for (size_t i = 0; i < wide.size(); ++i) {
      ids.push_back(wide[i].data());
      clients.push_back(static_cast<OPCHANDLE>(i));
    }
    TTaskMem<OPCHANDLE> handles;
    TTaskMem<HRESULT> errors;
    Check(server_->GetItemHandles(static_cast<DWORD>(ids.size()), ids.data(), clients.data(), handles.Put(),
                                  errors.Put()),
          "GetItemHandles");
    items_.resize(options.items.size());
    for (size_t i = 0; i < items_.size(); ++i) {
      items_[i].id = options.items[i];
      items_[i].error = errors ? errors[i] : E_FAIL;
      if (FAILED(items_[i].error) || !handles) continue;
      handles_.push_back(handles[i]);
      positions_.push_back(i);
    }
  }

  THostedServer& Host() { return host_; }
  IOPCHDA_Server& Server() { return *server_.Get(); }
  std::vector<THdaItem>& Items() { return items_; }
  std::vector<OPCHANDLE>& Handles() { return handles_; }
  // The item a client handle (its position in the command line) names.
  THdaItem* ItemOfClient(OPCHANDLE client) { return client < items_.size() ? &items_[client] : nullptr; }
  size_t PositionOf(size_t k) const { return positions_[k]; }

 private:
  THostedServer host_;
  TComPtr<IOPCHDA_Server> server_;
  std::vector<THdaItem> items_;
  std::vector<OPCHANDLE> handles_;
  std::vector<size_t> positions_;
};

int RunRead(const THdaOptions& options) {
  TClientTime start(options.start, "--start");
  TClientTime end(options.end, "--end");
  const TFolderClaim claim(options.dir);
  if (claim.Served())
    return ServedHdaRead(claim.SocketPath(), options, options.items, options.start, options.end);
  THdaSession session(options);
  auto& handles = session.Handles();
  if (!handles.empty()) {
    TComPtr<IOPCHDA_SyncRead> sync;
    Check(session.Server().QueryInterface(IID_IOPCHDA_SyncRead, sync.PutVoid()), "IOPCHDA_SyncRead");
    OPCHDA_TIME from = start.Record();
    OPCHDA_TIME to = end.Record();
    TTaskMem<OPCHDA_ITEM> values;
    TTaskMem<HRESULT> errors;
    const HRESULT hr = sync->ReadRaw(&from, &to, 0, FALSE, static_cast<DWORD>(handles.size()), handles.data(),
                                     values.Put(), errors.Put());
    for (size_t k = 0; k < handles.size(); ++k) {
      THdaItem& item = session.Items()[session.PositionOf(k)];
      item.error = errors ? errors[k] : (FAILED(hr) ? hr : E_FAIL);
      if (values) {
        Take(item, values[k]);
        FreeHdaItem(values[k]);
      }
    }
    Check(hr, "ReadRaw");
  }
  return PrintHdaItems(session.Items(), options.json);
}

// Prints every OnDataChange of the subscription, one line per item.
class TAdvisePrinter final : public TOpcHdaDataSink {
 public:
  TAdvisePrinter(THdaSession& session, bool json) : session_(session), json_(json) {}

  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, HRESULT, DWORD count, OPCHDA_ITEM* items,
                                         HRESULT* errors) override {
    for (DWORD i = 0; i < count && items; ++i) {
      const THdaItem* known = session_.ItemOfClient(items[i].hClient);
      THdaItem item;
      item.id = known ? known->id : std::to_string(items[i].hClient);
      item.error = errors ? errors[i] : S_OK;
      Take(item, items[i]);
      good_ = good_ && item.Good();
      item.PrintLine(json_);
    }
    std::cout.flush();
    ++changes_;
    return S_OK;
  }

  size_t Changes() const { return changes_; }
  bool AllGood() const { return good_; }

 private:
  THdaSession& session_;
  bool json_;
  size_t changes_ = 0;
  bool good_ = true;
};

int RunAdvise(const THdaOptions& options) {
  TClientTime start(options.start, "--start");
  const TFolderClaim claim(options.dir);
  if (claim.Served()) throw NotThroughServer("HDA subscriptions (AdviseRaw)");
  THdaSession session(options);
  bool good = true;
  for (const THdaItem& item : session.Items())
    if (FAILED(item.error)) {
      good = false;
      item.PrintLine(options.json);
    }
  auto& handles = session.Handles();
  if (handles.empty()) return kExitItems;

  auto printer = Make<TAdvisePrinter>(session, options.json);
  TComPtr<IConnectionPointContainer> container;
  Check(session.Server().QueryInterface(IID_IConnectionPointContainer, container.PutVoid()),
        "IConnectionPointContainer");
  TComPtr<IConnectionPoint> point;
  Check(container->FindConnectionPoint(IID_IOPCHDA_DataCallback, point.Put()), "FindConnectionPoint");
  DWORD cookie = 0;
  Check(point->Advise(printer->Identity(), &cookie), "Advise");

  TComPtr<IOPCHDA_AsyncRead> async;
  Check(session.Server().QueryInterface(IID_IOPCHDA_AsyncRead, async.PutVoid()), "IOPCHDA_AsyncRead");
  OPCHDA_TIME from = start.Record();
  const FILETIME interval = Int64ToFileTime(static_cast<int64_t>(options.interval * 10'000'000));
  DWORD cancelId = 0;
  TTaskMem<HRESULT> errors;
  const HRESULT hr = async->AdviseRaw(1, &from, interval, static_cast<DWORD>(handles.size()), handles.data(),
                                      &cancelId, errors.Put());
  for (size_t k = 0; k < handles.size() && errors; ++k)
    if (FAILED(errors[k])) {
      THdaItem& item = session.Items()[session.PositionOf(k)];
      item.error = errors[k];
      good = false;
      item.PrintLine(options.json);
    }
  bool done = false;
  if (SUCCEEDED(hr)) {
    const auto limit = options.Timeout().count() > 0 ? options.Timeout() : std::chrono::minutes(3);
    const auto quiet = limit + std::chrono::milliseconds(static_cast<int64_t>(options.interval * 1000));
    done = session.Host().Wait([&] { return printer->Changes() >= static_cast<size_t>(options.count); },
                               [&] { return printer->Changes(); }, quiet);
    async->Cancel(cancelId);
  }
  point->Unadvise(cookie);
  Check(hr, "AdviseRaw");
  if (!done) throw EClientError("no data change in time");
  return good && printer->AllGood() ? kExitGood : kExitItems;
}

struct TAttributeName {
  DWORD id;
  std::string name;
};

std::vector<TAttributeName> DeclaredAttributes(IOPCHDA_Server& server) {
  DWORD count = 0;
  TTaskMem<DWORD> ids;
  TTaskMem<LPWSTR> names;
  TTaskMem<LPWSTR> descriptions;
  TTaskMem<VARTYPE> types;
  Check(server.GetItemAttributes(&count, ids.Put(), names.Put(), descriptions.Put(), types.Put()),
        "GetItemAttributes");
  std::vector<TAttributeName> out;
  for (DWORD i = 0; i < count && ids; ++i) {
    out.push_back({ids[i], names ? WideToUtf8(names[i]) : std::string()});
    if (names) CoTaskMemFree(names[i]);
    if (descriptions) CoTaskMemFree(descriptions[i]);
  }
  return out;
}

int RunAttributes(const THdaOptions& options) {
  const TFolderClaim claim(options.dir);
  if (claim.Served()) throw NotThroughServer("item attributes (ReadAttribute)");
  THdaSession session(options);
  THdaItem& item = session.Items()[0];
  Json attributes = Json::array();
  if (SUCCEEDED(item.error)) {
    std::vector<TAttributeName> declared = DeclaredAttributes(session.Server());
    std::vector<DWORD> ids;
    for (const TAttributeName& a : declared) ids.push_back(a.id);
    TComPtr<IOPCHDA_SyncRead> sync;
    Check(session.Server().QueryInterface(IID_IOPCHDA_SyncRead, sync.PutVoid()), "IOPCHDA_SyncRead");
    OPCHDA_TIME now{};
    now.ftTime = UtcDateTimeToFileTime(SystemClock().NowUtc());
    OPCHDA_TIME end{};
    TTaskMem<OPCHDA_ATTRIBUTE> values;
    TTaskMem<HRESULT> errors;
    const HRESULT hr = sync->ReadAttribute(&now, &end, session.Handles()[0], static_cast<DWORD>(ids.size()),
                                           ids.data(), values.Put(), errors.Put());
    for (size_t i = 0; i < ids.size(); ++i) {
      Json list = Json::array();
      if (values) {
        OPCHDA_ATTRIBUTE& a = values[i];
        for (DWORD k = 0; k < a.dwNumValues && a.vAttributeValues; ++k) {
          list.push_back(VariantJson(a.vAttributeValues[k]));
          VariantClear(&a.vAttributeValues[k]);
        }
        CoTaskMemFree(a.vAttributeValues);
        CoTaskMemFree(a.ftTimeStamps);
      }
      attributes.push_back(Json{{"id", ids[i]},
                                {"name", declared[i].name},
                                {"error", HexCode(errors ? errors[i] : hr)},
                                {"values", list}});
    }
    if (FAILED(hr)) item.error = hr;
  }
  if (options.json) {
    Json out{{"item", item.id}, {"error", HexCode(item.error)}, {"attributes", attributes}};
    std::cout << out.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
  } else if (FAILED(item.error)) {
    std::cout << item.id << ": error " << HexCode(item.error) << "\n";
  } else {
    std::cout << item.id << "\n";
    for (const Json& a : attributes) {
      std::cout << "  " << a["id"].get<DWORD>() << " " << a["name"].get<std::string>() << ": ";
      if (a["values"].empty()) std::cout << "(none, " << a["error"].get<std::string>() << ")";
      for (const Json& v : a["values"]) std::cout << (v.is_string() ? v.get<std::string>() : v.dump()) << " ";
      std::cout << "\n";
    }
  }
  // An attribute the node does not hold is no failure; an item the server does not know is.
  return SUCCEEDED(item.error) ? kExitGood : kExitItems;
}

}  // namespace

void AddHdaCommands(CLI::App& app, int& exitCode) {
  CLI::App* hda = app.add_subcommand(
      "hda", "Archives through the OPC HDA server: the one serving the folder, else one hosted here");
  hda->require_subcommand(1);
  const std::string footer = std::string(kTimeForms) + "\n" + kExitCodes;

  auto readOptions = std::make_shared<THdaOptions>();
  CLI::App* read = AddServerOptions(
      hda->add_subcommand("read", "The items' archive records between start and end (ReadRaw)")
          ->footer(footer),
      *readOptions);
  read->add_option("--start", readOptions->start, "Start of the window")->required();
  read->add_option("--end", readOptions->end, "End of the window")->required();
  read->add_option("items", readOptions->items, "Item identifiers (dotted tree paths)")->required();
  read->callback([readOptions, &exitCode] { exitCode = RunClient([&] { return RunRead(*readOptions); }); });

  auto adviseOptions = std::make_shared<THdaOptions>();
  CLI::App* advise = AddServerOptions(
      hda->add_subcommand("advise", "Subscribe to the items' new records (AdviseRaw) and print each delivery")
          ->footer(footer),
      *adviseOptions);
  advise->add_option("--start", adviseOptions->start, "Records after this time")->required();
  advise->add_option("--interval", adviseOptions->interval, "Update interval in seconds")
      ->required()
      ->check(CLI::Range(0.001, 86400.0));
  advise->add_option("--count", adviseOptions->count, "Deliveries to print before cancelling")
      ->required()
      ->check(CLI::Range(1, 1'000'000));
  advise->add_option("items", adviseOptions->items, "Item identifiers (dotted tree paths)")->required();
  advise->callback(
      [adviseOptions, &exitCode] { exitCode = RunClient([&] { return RunAdvise(*adviseOptions); }); });

  auto attributeOptions = std::make_shared<THdaOptions>();
  CLI::App* attributes = AddServerOptions(
      hda->add_subcommand("attributes", "The item's attributes (ReadAttribute)")->footer(kExitCodes),
      *attributeOptions);
  attributeOptions->items.resize(1);
  attributes->add_option("item", attributeOptions->items[0], "Item identifier (dotted tree path)")
      ->required();
  attributes->callback([attributeOptions, &exitCode] {
    exitCode = RunClient([&] { return RunAttributes(*attributeOptions); });
  });
  AddHdaBrowseCommand(*hda, exitCode);
}

}  // namespace orvela::ctl
