// orvelactl da: current values read through the DA server object hosted in this process, as a client
// reads them (one group, its items, a synchronous device read or a subscription), and the server status.
// On a folder a running server serves, reads and subscriptions go through its endpoint instead.
#include <iostream>
#include <memory>
#include <vector>

#include "opc_da/DaServerClass.h"
#include "orvelactl/Commands.h"
#include "orvelactl/FolderClaim.h"
#include "orvelactl/ItemOutput.h"
#include "orvelactl/ServedCommands.h"
#include "orvelactl/ServerClient.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComRuntime.h"
#include "platform/com/ComText.h"
#include "platform/com/ComVariant.h"
#include "platform/com/opc/OpcDa.h"
#include "platform/com/opc/OpcSinks.h"

namespace orvela::ctl {
namespace {

constexpr const char* kExitCodes =
    "Exit code: 0 when every item was read with good quality, 1 when any item was refused, failed or "
    "came back not good (it is still printed), 2 when the server could not be started or asked.";

struct TDaOptions : TServerOptions {
  int rate = 1000;
  int count = 1;
  std::vector<std::string> items;
};

// The server's own text of a result code.
TErrorText ErrorTextOf(IOPCServer& server) {
  return [&server](HRESULT code) {
    TTaskMem<WCHAR> text;
    return SUCCEEDED(server.GetErrorString(code, 0, text.Put())) && text ? WideToUtf8(text.Get())
                                                                         : std::string();
  };
}

// The server, one group and the items added to it; the group and server go before the host.
class TDaSession {
 public:
  TDaSession(const TDaOptions& options, bool active, DWORD rate) : host_(options.dir, options.Timeout()) {
    server_ = host_.Create<IOPCServer>(kDaProgId);
    DWORD revised = 0;
    TComPtr<IUnknown> group;
    Check(server_->AddGroup(u"orvelactl", active, rate, 1, nullptr, nullptr, 0, &groupHandle_, &revised,
                            IID_IOPCItemMgt, group.Put()),
          "AddGroup");
    Check(group.As(items_), "IOPCItemMgt");
    AddItems(options.items);
  }
  ~TDaSession() {
    items_.Reset();
    if (server_) server_->RemoveGroup(groupHandle_, TRUE);
  }
  TDaSession(const TDaSession&) = delete;
  TDaSession& operator=(const TDaSession&) = delete;

  IOPCServer& Server() { return *server_.Get(); }
  // The group's data callback point, with the sink advised on it.
  TComPtr<IConnectionPoint> Advise(IUnknown* sink, DWORD& cookie) {
    TComPtr<IConnectionPointContainer> container;
    Check(Group().QueryInterface(IID_IConnectionPointContainer, container.PutVoid()),
          "IConnectionPointContainer");
    TComPtr<IConnectionPoint> point;
    Check(container->FindConnectionPoint(IID_IOPCDataCallback, point.Put()), "FindConnectionPoint");
    Check(point->Advise(sink, &cookie), "Advise");
    return point;
  }
  IOPCItemMgt& Group() { return *items_.Get(); }
  THostedServer& Host() { return host_; }
  // The answers so far: refused items carry their AddItems error.
  std::vector<TDaValue>& Values() { return values_; }
  // Server handles of the items the group took, and their positions.
  const std::vector<OPCHANDLE>& Handles() const { return handles_; }
  const std::vector<size_t>& Positions() const { return positions_; }

 private:
  void AddItems(const std::vector<std::string>& ids) {
    std::vector<std::u16string> wide;
    for (const std::string& id : ids) wide.push_back(Utf8ToUtf16(id));
    std::vector<OPCITEMDEF> defs(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
      defs[i] = OPCITEMDEF{};
      defs[i].szAccessPath = const_cast<LPWSTR>(u"");
      defs[i].szItemID = wide[i].data();
      defs[i].bActive = TRUE;
      defs[i].hClient = static_cast<OPCHANDLE>(i);
      defs[i].vtRequestedDataType = VT_EMPTY;
    }
    TTaskMem<OPCITEMRESULT> results;
    TTaskMem<HRESULT> errors;
    Check(items_->AddItems(static_cast<DWORD>(defs.size()), defs.data(), results.Put(), errors.Put()),
          "AddItems");
    values_ = std::vector<TDaValue>(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
      values_[i].id = ids[i];
      values_[i].error = errors ? errors[i] : E_FAIL;
      if (results && results[i].pBlob) CoTaskMemFree(results[i].pBlob);
      if (FAILED(values_[i].error)) continue;
      handles_.push_back(results[i].hServer);
      positions_.push_back(i);
    }
  }

  THostedServer host_;
  TComPtr<IOPCServer> server_;
  TComPtr<IOPCItemMgt> items_;
  OPCHANDLE groupHandle_ = 0;
  std::vector<TDaValue> values_;
  std::vector<OPCHANDLE> handles_;
  std::vector<size_t> positions_;
};

int RunRead(const TDaOptions& options) {
  const TFolderClaim claim(options.dir);
  if (claim.Served()) return ServedDaRead(claim.SocketPath(), options, options.items);
  TDaSession session(options, FALSE, 0);
  auto& values = session.Values();
  if (!session.Handles().empty()) {
    TComPtr<IOPCSyncIO> sync;
    Check(session.Group().QueryInterface(IID_IOPCSyncIO, sync.PutVoid()), "IOPCSyncIO");
    std::vector<OPCHANDLE> handles = session.Handles();
    TTaskMem<OPCITEMSTATE> states;
    TTaskMem<HRESULT> errors;
    Check(sync->Read(OPC_DS_DEVICE, static_cast<DWORD>(handles.size()), handles.data(), states.Put(),
                     errors.Put()),
          "Read");
    for (size_t k = 0; k < handles.size(); ++k) {
      TDaValue& item = values[session.Positions()[k]];
      item.error = errors ? errors[k] : E_FAIL;
      if (!states) continue;
      item.quality = states[k].wQuality;
      item.time = states[k].ftTimeStamp;
      item.value = VariantJson(states[k].vDataValue);
      VariantClear(&states[k].vDataValue);
    }
  }
  return PrintDaValues(values, options.json, ErrorTextOf(session.Server()));
}

// The value a write gives: true/false, an integer, a number, else the text as a string.
TVariant WriteValueOf(const std::string& text) {
  if (text == "true" || text == "false") return TVariant::Bool(text == "true");
  size_t used = 0;
  try {
    long long integer = std::stoll(text, &used);
    if (used == text.size()) return TVariant::Int(integer);
    double number = std::stod(text, &used);
    if (used == text.size()) return TVariant::Double(number);
  } catch (const std::exception&) {
  }
  return TVariant::Str(text);
}

// Takes the completion of one asynchronous write.
class TWriteWaiter final : public TOpcDataSink {
 public:
  HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD count, OPCHANDLE*,
                                            HRESULT* errors) override {
    error_ = count == 1 && errors ? errors[0] : E_FAIL;
    done_ = true;
    return S_OK;
  }
  bool Done() const { return done_; }
  HRESULT Error() const { return error_; }

 private:
  bool done_ = false;
  HRESULT error_ = E_FAIL;
};

// One device write of one item (IOPCAsyncIO2::Write: the server writes devices only asynchronously).
int RunWrite(const TDaOptions& options) {
  if (TFolderClaim(options.dir).Served())
    throw EClientError("da write: the folder is served by a running server; write through it");
  TDaOptions one = options;
  one.items.resize(1);
  TDaSession session(one, TRUE, 1000);
  TDaValue& item = session.Values()[0];
  if (session.Handles().empty()) {
    PrintDaValues(session.Values(), options.json, ErrorTextOf(session.Server()));
    return kExitItems;
  }
  auto waiter = Make<TWriteWaiter>();
  DWORD cookie = 0;
  TComPtr<IConnectionPoint> point = session.Advise(waiter->Identity(), cookie);
  TComPtr<IOPCAsyncIO2> async;
  Check(session.Group().QueryInterface(IID_IOPCAsyncIO2, async.PutVoid()), "IOPCAsyncIO2");
  VARIANT value;
  VariantInit(&value);
  TVariantToVariant(WriteValueOf(options.items[1]), &value);
  OPCHANDLE handle = session.Handles()[0];
  DWORD cancelId = 0;
  TTaskMem<HRESULT> errors;
  HRESULT hr = async->Write(1, &handle, &value, 1, &cancelId, errors.Put());
  VariantClear(&value);
  item.error = FAILED(hr) ? hr : (errors ? errors[0] : E_FAIL);
  const auto limit = options.Timeout().count() > 0 ? options.Timeout() : std::chrono::minutes(3);
  if (SUCCEEDED(item.error) &&
      !session.Host().Wait([&] { return waiter->Done(); }, [] { return size_t{0}; }, limit))
    item.error = E_FAIL;
  else if (SUCCEEDED(item.error))
    item.error = waiter->Error();
  point->Unadvise(cookie);
  item.quality = SUCCEEDED(item.error) ? 192 : 0;
  item.value = Json(options.items[1]);
  return PrintDaValues(session.Values(), options.json, ErrorTextOf(session.Server()));
}

// Prints every data change as it comes, one line per item.
class TChangePrinter final : public TOpcDataSink {
 public:
  TChangePrinter(const std::vector<TDaValue>& items, bool json, IOPCServer& server)
      : items_(items), json_(json), server_(server) {}

  HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE* handles,
                                         VARIANT* values, WORD* qualities, FILETIME* times,
                                         HRESULT* errors) override {
    for (DWORD i = 0; i < count; ++i) {
      if (handles[i] >= items_.size()) continue;
      TDaValue item;
      item.id = items_[handles[i]].id;
      item.error = errors[i];
      item.quality = qualities[i];
      item.time = times[i];
      item.value = VariantJson(values[i]);
      good_ = good_ && item.Good();
      PrintDaValue(item, json_, ErrorTextOf(server_));
    }
    std::cout.flush();
    ++changes_;
    return S_OK;
  }

  size_t Changes() const { return changes_; }
  bool AllGood() const { return good_; }

 private:
  const std::vector<TDaValue>& items_;
  bool json_;
  IOPCServer& server_;
  size_t changes_ = 0;
  bool good_ = true;
};

int RunWatch(const TDaOptions& options) {
  const TFolderClaim claim(options.dir);
  if (claim.Served())
    return ServedDaWatch(claim.SocketPath(), options, options.items, options.rate, options.count);
  TDaSession session(options, TRUE, static_cast<DWORD>(options.rate));
  bool good = true;
  for (const TDaValue& item : session.Values())
    if (FAILED(item.error)) {
      PrintDaValue(item, options.json, ErrorTextOf(session.Server()));
      good = false;
    }
  if (session.Handles().empty()) return kExitItems;

  auto printer = Make<TChangePrinter>(session.Values(), options.json, session.Server());
  DWORD cookie = 0;
  TComPtr<IConnectionPoint> point = session.Advise(printer->Identity(), cookie);
  // The active group sends what changed at its update rate; the refresh gives every item's value at once.
  TComPtr<IOPCAsyncIO2> async;
  Check(session.Group().QueryInterface(IID_IOPCAsyncIO2, async.PutVoid()), "IOPCAsyncIO2");
  DWORD cancelId = 0;
  Check(async->Refresh2(OPC_DS_DEVICE, 1, &cancelId), "Refresh2");
  // A device that stops answering still calls back (its quality changes to bad); values that stay the
  // same are not changes, so a watch for more changes than come ends at the limit.
  const auto limit = options.Timeout().count() > 0 ? options.Timeout() : std::chrono::minutes(3);
  const auto quiet = limit + std::chrono::milliseconds(options.rate);
  const bool done =
      session.Host().Wait([&] { return printer->Changes() >= static_cast<size_t>(options.count); },
                          [&] { return printer->Changes(); }, quiet);
  async->Cancel2(cancelId);
  point->Unadvise(cookie);
  if (!done) throw EClientError("no data change within " + std::to_string(quiet.count()) + " ms");
  return good && printer->AllGood() ? kExitGood : kExitItems;
}

const char* StateText(OPCSERVERSTATE state) {
  switch (state) {
    case OPC_STATUS_RUNNING:
      return "running";
    case OPC_STATUS_FAILED:
      return "failed";
    case OPC_STATUS_NOCONFIG:
      return "no configuration";
    case OPC_STATUS_SUSPENDED:
      return "suspended";
    case OPC_STATUS_TEST:
      return "test";
  }
  return "unknown";
}

int RunStatus(const TDaOptions& options) {
  const TFolderClaim claim(options.dir);
  if (claim.Served()) throw NotThroughServer("the DA server's status");
  THostedServer host(options.dir, options.Timeout());
  TComPtr<IOPCServer> server = host.Create<IOPCServer>(kDaProgId);
  TTaskMem<OPCSERVERSTATUS> status;
  Check(server->GetStatus(status.Put()), "GetStatus");
  if (!status) throw EClientError("GetStatus gave no status");
  const OPCSERVERSTATUS& s = status[0];
  const std::string vendor = WideToUtf8(s.szVendorInfo);
  CoTaskMemFree(s.szVendorInfo);
  const std::string version = std::to_string(s.wMajorVersion) + "." + std::to_string(s.wMinorVersion) + "." +
                              std::to_string(s.wBuildNumber);
  if (options.json) {
    Json out{{"state", static_cast<int>(s.dwServerState)},
             {"stateText", StateText(s.dwServerState)},
             {"startTime", UtcText(s.ftStartTime)},
             {"currentTime", UtcText(s.ftCurrentTime)},
             {"lastUpdateTime", UtcText(s.ftLastUpdateTime)},
             {"groups", s.dwGroupCount},
             {"bandwidth", s.dwBandWidth},
             {"version", version},
             {"vendor", vendor}};
    std::cout << out.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
  } else {
    std::cout << "state: " << StateText(s.dwServerState) << " (" << static_cast<int>(s.dwServerState) << ")\n"
              << "started: " << UtcText(s.ftStartTime) << "\n"
              << "current time: " << UtcText(s.ftCurrentTime) << "\n"
              << "last update: " << UtcText(s.ftLastUpdateTime) << "\n"
              << "groups: " << s.dwGroupCount << "\n"
              << "bandwidth: " << s.dwBandWidth << "\n"
              << "version: " << version << "\n"
              << "vendor: " << vendor << "\n";
  }
  return kExitGood;
}

}  // namespace

void AddDaCommands(CLI::App& app, int& exitCode) {
  CLI::App* da = app.add_subcommand(
      "da", "Current values through the OPC DA server: the one serving the folder, else one hosted here");
  da->require_subcommand(1);

  auto readOptions = std::make_shared<TDaOptions>();
  CLI::App* read =
      AddServerOptions(da->add_subcommand("read", "One synchronous device read of the items (one line each)")
                           ->footer(kExitCodes),
                       *readOptions);
  read->add_option("items", readOptions->items, "Item identifiers (dotted tree paths)")->required();
  read->callback([readOptions, &exitCode] { exitCode = RunClient([&] { return RunRead(*readOptions); }); });

  auto watchOptions = std::make_shared<TDaOptions>();
  CLI::App* watch = AddServerOptions(
      da->add_subcommand("watch", "Subscribe to the items and print each data change")->footer(kExitCodes),
      *watchOptions);
  watch->add_option("--rate", watchOptions->rate, "Update rate in ms")
      ->required()
      ->check(CLI::Range(1, 86'400'000));
  watch->add_option("--count", watchOptions->count, "Data changes to print before stopping")
      ->required()
      ->check(CLI::Range(1, 1'000'000));
  watch->add_option("items", watchOptions->items, "Item identifiers (dotted tree paths)")->required();
  watch->callback(
      [watchOptions, &exitCode] { exitCode = RunClient([&] { return RunWatch(*watchOptions); }); });

  auto writeOptions = std::make_shared<TDaOptions>();
  CLI::App* write = AddServerOptions(
      da->add_subcommand("write", "One device write of an item's value (true, false, a number or a text)")
          ->footer(kExitCodes),
      *writeOptions);
  write->add_option("item-and-value", writeOptions->items, "Item identifier, then the value")
      ->expected(2)
      ->required();
  write->callback(
      [writeOptions, &exitCode] { exitCode = RunClient([&] { return RunWrite(*writeOptions); }); });

  auto statusOptions = std::make_shared<TDaOptions>();
  CLI::App* status =
      AddServerOptions(da->add_subcommand("status", "The DA server's status (GetStatus)"), *statusOptions);
  status->callback(
      [statusOptions, &exitCode] { exitCode = RunClient([&] { return RunStatus(*statusOptions); }); });
  AddDaBrowseCommand(*da, exitCode);
}

}  // namespace orvela::ctl
