// orvelactl config: dump, check and rewrite the configuration files of a program folder, and write a demo
// one.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "drivers/Tarvel2001Nodes.h"
#include "orvelactl/Commands.h"
#include "orvelactl/FolderClaim.h"
#include "tree/ConfigController.h"
#include "tree/DemoConfig.h"
#include "tree/TreeFile.h"

namespace orvela::ctl {
namespace {

using Json = nlohmann::ordered_json;

struct TConfigOptions {
  std::string dir;
  bool json = false;
  int32_t port = kDemoTcpPort;
  bool force = false;
  bool withoutMeter = false;
  std::string modem;           // PORT:NUMBER: the demo's connection dials the meter through a modem
  std::string gprs;            // PORT:NUMBER: the demo's connection wakes a GPRS modem that connects back
  int32_t gprsListenPort = 0;  // "Порт TCP" of the GPRS listener; 0 keeps the default
};

constexpr TConfigPart kConfigParts[] = {TConfigPart::Settings, TConfigPart::Connections, TConfigPart::Tree};

// ---------------------------------------------------------------------------------------------------------
// The configuration as JSON; the text form is rendered from the same object.

Json SettingsJson(const TSettings& s) {
  return Json{
      {"clockCheckMinutes", s.ClockCheckMinutes},
      {"changeDateMinutes", s.ChangeDateMinutes},
      {"allowedClockDiffMinutes", s.AllowedClockDiffMinutes},
      {"queuePauseMs", s.QueuePauseMs},
      {"startPauseMs", s.StartPauseMs},
      {"clearJournalAtStart", s.ClearJournalAtStart},
      {"timeCorrectionMode", s.TimeCorrectionMode},
      {"readerThreads", s.ReaderThreads},
      {"currentDataFirst", s.CurrentDataFirst},
      {"currentDataMaxDelaySec", s.CurrentDataMaxDelaySec},
      {"channelLog", s.ChannelLog},
      {"tarvelMRequestMode", s.TarvelMRequestMode},
      {"journalEveryRequest", s.JournalEveryRequest},
      {"orlixRequestMode", s.OrlixRequestMode},
      {"subscriptionSchedule", s.SubscriptionSchedule},
      {"scheduleStart", s.ScheduleStart},
      {"scheduleEnd", s.ScheduleEnd},
      {"requestDayOn", s.RequestDayOn},
      {"requestDay", s.RequestDay},
      {"rerequestOnWrongDate", s.RerequestOnWrongDate},
      {"modemJournal", s.ModemJournal},
      {"projectFolder", s.ProjectFolder},
      {"connectionFile", s.ConnectionFile},
      {"tcpPort", s.TcpPort},
      {"tarvelMTreeLayout", s.TarvelMTreeLayout},
      {"checksumMode", s.ChecksumMode},
      {"requestPauseMs", s.RequestPauseMs},
      {"splitOrlixPackets", s.SplitOrlixPackets},
      {"gprsWaitMinutes", s.GprsWaitMinutes},
  };
}

Json KeyJson(const TConnKey& k) {
  return Json{{"ConnName", k.ConnName}, {"ConnType", k.ConnType},   {"ProtType", k.ProtType},
              {"PortName", k.PortName}, {"TelName", k.TelName},     {"IP_Addr", k.IP_Addr},
              {"IP_Port", k.IP_Port},   {"LocalPort", k.LocalPort}, {"LinkAddress", k.LinkAddress}};
}

Json ConnectionJson(const TConnRow& row) {
  Json j{{"enabled", row.Enabled}, {"columns", row.Columns}};
  const TConnSettings settings = row.Settings.value_or(TConnSettings{});
  j["key"] = KeyJson(settings.Key);
  j["settings"] = Json{{"BaudRate", settings.BaudRate},
                       {"ModemMode", settings.ModemMode},
                       {"ModemInit", settings.ModemInit},
                       {"Hangup", settings.Hangup}};
  return j;
}

Json ValueJson(const TVariant& v) {
  if (v.IsInteger()) return v.i;
  switch (v.vt) {
    case VT_BOOL:
      return v.i != 0;
    case VT_R4:
    case VT_R8:
    case VT_DATE:
      return v.d;
    case VT_CY:
      return static_cast<double>(v.i) / 10000.0;
    case VT_BSTR:
      return v.s;
    default:
      return nullptr;
  }
}

Json NodeJson(const TNTreeData& n, int depth = 0) {
  Json j{{"name", n.Name},
         {"path", n.Path},
         {"handle", n.Handle},
         {"kind", n.Kind},
         {"model", n.ModelCode},
         {"address", n.Address},
         {"level", n.Level},
         {"serial", n.Serial},
         {"driverNumber", n.DriverNumber},
         {"daVisible", n.DAVisible},
         {"hdaVisible", n.HDAVisible},
         {"key", KeyJson(n.ConnKey)}};
  Json attributes = Json::array();
  for (const TAttribRec& a : n.Attributes)
    attributes.push_back(Json{{"id", a.Id},
                              {"type", a.Value.vt},
                              {"value", ValueJson(a.Value)},
                              {"time", AttributeTimeToDateTime(a.Time)},
                              {"text", a.Text}});
  j["attributes"] = std::move(attributes);
  Json children = Json::array();
  // A tree in memory is as deep as the file allowed; the bound keeps a hand-built one from the stack.
  if (depth < kMaxTreeDepth)
    for (const TNTreeData* child : n.Children) children.push_back(NodeJson(*child, depth + 1));
  j["children"] = std::move(children);
  return j;
}

std::string Scalar(const Json& v) {
  return v.is_string() ? v.get<std::string>() : v.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void PrintNodeText(std::ostream& out, const Json& node, int indent) {
  char handle[16];
  std::snprintf(handle, sizeof handle, "0x%08X", node["handle"].get<uint32_t>());
  out << std::string(2 * indent + 2, ' ') << Scalar(node["name"]) << "  [handle " << handle << ", kind "
      << Scalar(node["kind"]) << ", model " << Scalar(node["model"]) << ", address "
      << Scalar(node["address"]) << ", serial " << Scalar(node["serial"]);
  if (const auto& conn = node["key"]["ConnName"].get_ref<const std::string&>(); !conn.empty())
    out << ", connection " << conn;
  out << "]\n";
  for (const Json& child : node["children"]) PrintNodeText(out, child, indent + 1);
}

void PrintText(std::ostream& out, const Json& config, const TConfigController& c) {
  out << "Settings (" << c.SettingsPath().string() << "):\n";
  for (const auto& [key, value] : config["settings"].items())
    out << "  " << key << " = " << Scalar(value) << "\n";
  out << "Connections (" << c.ConnectionsPath().string() << "): " << config["connections"].size() << "\n";
  for (const Json& row : config["connections"]) {
    out << "  [" << (row["enabled"].get<bool>() ? 'x' : ' ') << "]";
    for (const Json& column : row["columns"]) out << " | " << Scalar(column);
    const Json& s = row["settings"];
    out << " | baud " << Scalar(s["BaudRate"]) << ", modem mode " << Scalar(s["ModemMode"]) << ", init \""
        << Scalar(s["ModemInit"]) << "\", hang-up \"" << Scalar(s["Hangup"]) << "\", link address \""
        << Scalar(row["key"]["LinkAddress"]) << "\"\n";
  }
  out << "Tree (" << c.TreePath().string() << "): " << config["tree"]["children"].size() << " devices\n";
  PrintNodeText(out, config["tree"], 0);
}

// ---------------------------------------------------------------------------------------------------------

bool IsDamage(const EConfigFile& problem) {
  return problem.Fault() != TConfigFault::Missing;
}

struct TLoaded {
  std::unique_ptr<TTree> tree;
  std::unique_ptr<TConfigController> controller;
  std::optional<EConfigFile> settings, connections, treeFile;
};

// Loads the folder as the start-up does.
TLoaded Load(const std::string& dir) {
  TLoaded loaded;
  loaded.tree = std::make_unique<TTree>(std::filesystem::exists(std::filesystem::path(dir) / "english"));
  loaded.controller = std::make_unique<TConfigController>(dir, *loaded.tree);
  loaded.settings = loaded.controller->LoadSettings();
  loaded.connections = loaded.controller->LoadConnections();
  loaded.treeFile = loaded.controller->LoadTree();
  return loaded;
}

int RunDump(const TConfigOptions& options) {
  TLoaded loaded = Load(options.dir);
  bool damaged = false;
  for (const auto* problem : {&loaded.settings, &loaded.connections, &loaded.treeFile}) {
    if (!*problem) continue;
    std::cerr << (*problem)->what() << "\n";
    damaged = damaged || IsDamage(**problem);
  }
  // A damaged file is not dumped as if the defaults that stand in for it were the configuration.
  if (damaged) return 1;
  for (const std::string& notice : loaded.controller->Notices()) std::cerr << notice << "\n";
  const TConfigController& c = *loaded.controller;
  Json config{{"settings", SettingsJson(c.Settings())}, {"connections", Json::array()}};
  for (const TConnRow& row : c.Connections().Rows) config["connections"].push_back(ConnectionJson(row));
  config["tree"] = NodeJson(*loaded.tree->Root());
  if (options.json)
    std::cout << config.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
  else
    PrintText(std::cout, config, c);
  return 0;
}

int RunCheck(const TConfigOptions& options) {
  TLoaded loaded = Load(options.dir);
  const TConfigController& c = *loaded.controller;
  int exitCode = 0;
  auto report = [&](const std::filesystem::path& file, const std::optional<EConfigFile>& problem,
                    const std::string& whenMissing, const std::string& whenGood) {
    if (!problem) {
      std::cout << file.string() << ": " << whenGood << "\n";
    } else if (!IsDamage(*problem)) {
      std::cout << file.string() << ": missing, " << whenMissing << "\n";
    } else {
      std::cout << problem->what() << "\n";
      exitCode = 1;
    }
  };
  report(c.SettingsPath(), loaded.settings, "the defaults apply", "ok");
  report(c.ConnectionsPath(), loaded.connections, "the connection list is empty",
         "ok, " + std::to_string(c.Connections().Rows.size()) + " connections");
  const bool treePresent = std::filesystem::exists(c.TreePath());
  report(c.TreePath(), loaded.treeFile, "",
         treePresent ? "ok, " + std::to_string(c.DeviceCount()) + " devices"
                     : "missing, the tree starts with only the root");
  for (const std::string& notice : c.Notices()) std::cout << notice << "\n";
  // A file that loaded but must not be saved over as it stands (the tree left behind in the program
  // folder) needs the operator as much as a damaged one.
  if (!loaded.treeFile && !c.SaveRefusal(TConfigPart::Tree).empty()) exitCode = 1;
  return exitCode;
}

// Loads the folder as the start-up does and saves it as "Сохранить" does. Nothing is written while a
// file that failed to load would be replaced, unless forced.
int RunRewrite(const TConfigOptions& options) {
  TLoaded loaded = Load(options.dir);
  TConfigController& c = *loaded.controller;
  for (const auto* problem : {&loaded.settings, &loaded.connections, &loaded.treeFile})
    if (*problem) std::cerr << (*problem)->what() << "\n";
  for (const std::string& notice : c.Notices()) std::cerr << notice << "\n";
  if (!options.force && c.AnySaveRefused()) {
    for (TConfigPart part : kConfigParts)
      if (!c.SaveRefusal(part).empty()) std::cerr << "refused: " << c.SaveRefusal(part) << "\n";
    std::cerr << "nothing written; --force writes the files anyway\n";
    return 1;
  }
  if (!loaded.tree->Root()) {
    // Forced over a tree that did not load: the root the server would start with.
    loaded.tree->SetRoot(loaded.tree->CreateRoot());
    loaded.tree->ShowTree(loaded.tree->Root(), nullptr, nullptr);
  }
  const TConfigProblems problems = c.Save(options.force);
  for (const EConfigFile& problem : problems) std::cerr << problem.what() << "\n";
  if (!problems.empty()) return 1;
  std::cout << "configuration written: " << c.SettingsPath().string() << ", " << c.TreePath().string() << ", "
            << c.ConnectionsPath().string() << "\n";
  return 0;
}

// The demo's first connection (and the meter on it) becomes one reached through the modem on port calling
// number: a dial-up modem, or a GSM modem whose call wakes a field GPRS modem that connects back.
bool DialDemoConnection(TConfigController& controller, const std::string& portAndNumber, TConnKind kind) {
  size_t colon = portAndNumber.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == portAndNumber.size()) return false;
  TConnRow& row = controller.Connections().Rows.at(0);
  row.Columns[ccPort] = portAndNumber.substr(0, colon);
  row.Columns[ccTelephone] = portAndNumber.substr(colon + 1);
  row.Columns[ccIpAddress] = row.Columns[ccRemotePort] = row.Columns[ccLocalPort] = "";
  row.Columns[ccKind] = std::to_string(static_cast<int>(kind));
  std::optional<TConnKey> key = ConnKeyFromRow(row);
  if (!key) return false;
  row.Settings->Key = *key;
  row.Settings->ModemMode = 1;
  for (TNTreeData* device : controller.Tree().Root()->Children)
    if (device->Name == kDemoMeterName) TTree::SetConnectionKey(device, *key);
  return true;
}

int RunDemo(const TConfigOptions& options) {
  std::error_code ec;
  std::filesystem::create_directories(options.dir, ec);
  TTree tree;
  TConfigController controller(options.dir, tree);
  BuildDemoConfiguration(controller, options.withoutMeter ? TNodeDescriber{} : DescribeTarvel2001TreeNode,
                         options.port);
  if (!options.modem.empty() && !DialDemoConnection(controller, options.modem, TConnKind::DialUpModem)) {
    std::cerr << "--modem: PORT:NUMBER expected, not \"" << options.modem << "\"\n";
    return 1;
  }
  if (!options.gprs.empty() && !DialDemoConnection(controller, options.gprs, TConnKind::InboundGprs)) {
    std::cerr << "--gprs: PORT:NUMBER expected, not \"" << options.gprs << "\"\n";
    return 1;
  }
  if (options.gprsListenPort > 0) controller.Settings().TcpPort = options.gprsListenPort;
  const TConfigProblems problems = controller.Save();
  for (const EConfigFile& problem : problems) std::cerr << problem.what() << "\n";
  if (!problems.empty()) return 1;
  std::cout << "demo configuration written to " << options.dir << "\n";
  return 0;
}

// Every command runs under this so that no exception escapes into CLI11 as a crash. edits: the command
// writes the configuration, which a running server of the folder would save over.
template <class Fn>
void Bind(CLI::App* command, int& exitCode, std::shared_ptr<TConfigOptions> options, Fn run,
          bool edits = false) {
  command->callback([&exitCode, options, run, edits] {
    try {
      const auto claim = edits ? ClaimUnserved(options->dir, "writing its configuration") : nullptr;
      exitCode = run(*options);
    } catch (const std::exception& e) {
      std::cerr << "error: " << e.what() << "\n";
      exitCode = 2;
    }
  });
}

}  // namespace

void AddConfigCommands(CLI::App& app, int& exitCode) {
  CLI::App* config =
      app.add_subcommand("config", "Dump, check or rewrite the configuration files of a program folder");
  config->require_subcommand(1);

  auto dumpOptions = std::make_shared<TConfigOptions>();
  CLI::App* dump = config->add_subcommand("dump", "Print the settings, connections and device tree");
  dump->add_option("--dir", dumpOptions->dir, "Program folder")->required();
  dump->add_flag("--json", dumpOptions->json, "JSON for scripts instead of text");
  Bind(dump, exitCode, dumpOptions, RunDump);

  auto checkOptions = std::make_shared<TConfigOptions>();
  CLI::App* check = config->add_subcommand("check", "Check the three files; non-zero exit on a damaged one");
  check->add_option("--dir", checkOptions->dir, "Program folder")->required();
  Bind(check, exitCode, checkOptions, RunCheck);

  auto rewriteOptions = std::make_shared<TConfigOptions>();
  CLI::App* rewrite =
      config->add_subcommand("rewrite", "Load the three files and save them as the server's Save does");
  rewrite->add_option("--dir", rewriteOptions->dir, "Program folder")->required();
  rewrite->add_flag("--force", rewriteOptions->force, "Save over files that failed to load");
  Bind(rewrite, exitCode, rewriteOptions, RunRewrite, true);

  auto demoOptions = std::make_shared<TConfigOptions>();
  CLI::App* demo = config->add_subcommand("demo", "Write a small demo configuration");
  demo->add_option("--dir", demoOptions->dir, "Program folder to create")->required();
  demo->add_option("--port", demoOptions->port, "TCP port the demo connection points at on 127.0.0.1")
      ->check(CLI::Range(1, 65535));
  demo->add_flag("--without-meter", demoOptions->withoutMeter,
                 "Leave the meter out, for autoconfig to read it from the line");
  CLI::Option* modem = demo->add_option("--modem", demoOptions->modem,
                                        "PORT:NUMBER: the meter's connection dials through a modem");
  demo->add_option("--gprs", demoOptions->gprs,
                   "PORT:NUMBER: the meter's connection wakes a GPRS modem through the GSM modem on PORT")
      ->excludes(modem);
  demo->add_option("--gprs-listen", demoOptions->gprsListenPort, "\"Порт TCP\" of the GPRS listener")
      ->check(CLI::Range(1, 65535));
  demo->group("");  // hidden: for scripts/demo
  Bind(demo, exitCode, demoOptions, RunDemo, true);
}

}  // namespace orvela::ctl
