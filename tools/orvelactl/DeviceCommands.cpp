// orvelactl device add / refresh / remove, autoconfig, import and tree: the operator's device work on a
// program folder's configuration. Every command that changes the tree saves the tree and connection
// files (each replaced atomically) and changes nothing on disk when it fails.
#include <unistd.h>

#include <charconv>
#include <deque>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "drivers/Families.h"
#include "engine/ConnOrder.h"
#include "engine/InboundHost.h"
#include "engine/TreeTarvelController.h"
#include "orvelactl/Commands.h"
#include "orvelactl/FolderClaim.h"
#include "tree/ConfigController.h"
#include "tree/TreeController.h"
#include "tree/UiBridge.h"

namespace orvela::ctl {
namespace {

using Json = nlohmann::ordered_json;

// Ranges of one add: at most every address of a line.
constexpr int kMaxAddress = 255;

class ECommandError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TDeviceOptions {
  std::string dir;
  std::string conn;
  std::vector<std::string> conns;
  std::string family;
  std::string address;
  std::string device;
  std::string from;
  bool replace = false;
  bool yes = false;
  bool json = false;
  // The Tarvel M's system parameters ("ТАРВЕЛ-М"), set in tParam.dat before the meters are read: how its
  // archives are asked ("records" or "parameters") and which nodes are at the top ("archives", "systems").
  std::string tarvelMRequest;
  std::string tarvelMLayout;
};

// The connection list as the factory looks connections up.
class TListCatalog final : public IConnectionCatalog {
 public:
  explicit TListCatalog(const TConnectionList& list) : list_(list) {}
  TConnSettings* FindSettings(const TConnKey& key) override {
    for (const TConnRow& row : list_.Rows) {
      if (!SameConnName(row.Columns[ccName], key.ConnName)) continue;
      TConnSettings& settings = kept_.emplace_back(row.Settings.value_or(TConnSettings::Defaults()));
      settings.Key = key;
      return &settings;
    }
    return nullptr;
  }
  IChannelLog* FindOrder(const TConnKey&) override { return nullptr; }

 private:
  const TConnectionList& list_;
  std::deque<TConnSettings> kept_;  // links keep pointers to their settings
};

// One program folder's configuration, loaded, with the controllers that work on it.
class TFolder {
 public:
  TFolder(const TDeviceOptions& options)
      : tree_(std::filesystem::exists(std::filesystem::path(options.dir) / "english")),
        config_(options.dir, tree_),
        ui_(&std::cerr, options.yes),
        trees_(tree_, ui_),
        catalog_(config_.Connections()) {
    config_.LoadSettings();  // a missing or damaged tParam.dat leaves the defaults
    ApplyTarvelMOptions(options);
    if (auto problem = config_.LoadConnections(); problem && problem->Fault() != TConfigFault::Missing)
      throw ECommandError(problem->what());
    if (auto problem = config_.LoadTree(); problem && problem->Fault() != TConfigFault::Missing)
      throw ECommandError(problem->what());
    trees_.NormaliseRoot();
    controller_ = std::make_unique<TTreeTarvelController>(
        trees_, catalog_, TModelEnvironment{config_.Settings(), tree_.English(), nullptr});
    if (isatty(STDERR_FILENO) != 0)
      controller_->SetProgress([](const std::string& text, int percent) {
        std::cerr << (percent >= 0 ? std::to_string(percent) + "% " : std::string()) << text << "\n";
      });
  }

  TTree& Tree() { return tree_; }
  TTreeController& Trees() { return trees_; }

  // The Tarvel M's tree follows its request mode, so the options are kept with the settings.
  void ApplyTarvelMOptions(const TDeviceOptions& options) {
    if (options.tarvelMRequest.empty() && options.tarvelMLayout.empty()) return;
    TSettings& settings = config_.Settings();
    if (!options.tarvelMRequest.empty()) settings.TarvelMRequestMode = options.tarvelMRequest == "parameters";
    if (!options.tarvelMLayout.empty()) settings.TarvelMTreeLayout = options.tarvelMLayout == "systems";
    if (auto problem = config_.SaveSettings()) throw ECommandError(problem->what());
  }
  // Reads devices: the links of inbound GPRS connections wait for their modems at this process's listener.
  TTreeTarvelController& Controller() {
    if (!inbound_.Listener())
      inbound_.StartFor(config_.Connections(), config_.Settings(), config_.ProgramFolder());
    return *controller_;
  }

  TConnKey Key(const std::string& name) const {
    for (const TConnRow& row : config_.Connections().Rows) {
      if (!SameConnName(row.Columns[ccName], name)) continue;
      std::optional<TConnKey> key = ConnKeyFromRow(row);
      if (!key)
        throw ECommandError("connection \"" + name + "\": unknown protocol \"" + row.Columns[ccProtocol] +
                            "\"");
      return *key;
    }
    throw ECommandError("no connection \"" + name + "\" in " + config_.ConnectionsPath().string());
  }

  TNTreeData* Device(const std::string& text) const {
    TNTreeData* device = trees_.FindDeviceByNameOrSerial(text);
    if (device == nullptr) throw ECommandError("no single device named or numbered \"" + text + "\"");
    return device;
  }

  void Save() {
    trees_.Renumber();
    if (auto problem = config_.SaveTree()) throw ECommandError(problem->what());
    if (auto problem = config_.SaveConnections()) throw ECommandError(problem->what());
  }

 private:
  TTree tree_;
  TConfigController config_;
  THeadlessUi ui_;
  TTreeController trees_;
  TListCatalog catalog_;
  TInboundHost inbound_;  // stopped after the controller and its links
  std::unique_ptr<TTreeTarvelController> controller_;
};

Json DeviceJson(const TNTreeData& device) {
  return Json{{"name", device.Name},
              {"serial", device.Serial},
              {"model", device.ModelCode},
              {"address", device.Address},
              {"connection", device.ConnKey.ConnName},
              {"handle", device.Handle}};
}

void PrintDevices(const std::vector<const TNTreeData*>& devices, bool json, const char* verb) {
  if (json) {
    Json out = Json::array();
    for (const TNTreeData* d : devices) out.push_back(DeviceJson(*d));
    std::cout << out.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
    return;
  }
  for (const TNTreeData* d : devices)
    std::cout << verb << " " << d->Name << " (address " << int(d->Address) << ")\n";
  std::cout << devices.size() << " device(s) " << verb << "\n";
}

std::vector<const TNTreeData*> DevicesAfter(TTree& tree, size_t before) {
  std::vector<const TNTreeData*> devices;
  auto lock = tree.ReadLock();
  const auto& children = tree.Root()->Children;
  for (size_t i = std::min(before, children.size()); i < children.size(); ++i) devices.push_back(children[i]);
  return devices;
}

uint8_t FamilyCode(const std::string& text) {
  int code = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), code);
  if (ec == std::errc() && end == text.data() + text.size() && code > 0 && code <= kMaxAddress &&
      FindFamily(static_cast<uint8_t>(code)) != nullptr)
    return static_cast<uint8_t>(code);
  for (const TFamily& family : kFamilies)
    if (family.key == text) return family.code;
  throw ECommandError("unknown family \"" + text + "\"");
}

// "A" or "A-B", each 0…255, A not above B.
std::pair<int, int> AddressRange(const std::string& text) {
  auto number = [&](std::string_view part) {
    int value = -1;
    auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
    if (part.empty() || ec != std::errc() || end != part.data() + part.size() || value < 0 ||
        value > kMaxAddress)
      throw ECommandError("bad address \"" + text + "\": addresses are 0 to 255");
    return value;
  };
  size_t dash = text.find('-');
  if (dash == std::string::npos) {
    int a = number(text);
    return {a, a};
  }
  int first = number(std::string_view(text).substr(0, dash));
  int last = number(std::string_view(text).substr(dash + 1));
  if (first > last) throw ECommandError("bad address range \"" + text + "\"");
  return {first, last};
}

int AddDevices(const TDeviceOptions& options) {
  TFolder folder(options);
  TConnKey key = folder.Key(options.conn);
  uint8_t code = FamilyCode(options.family);
  auto [first, last] = AddressRange(options.address);
  TTree& tree = folder.Tree();
  TNTreeData* ready = tree.CreateNode();
  int failed = 0;
  for (int address = first; address <= last; ++address) {
    TNTreeData* device = tree.CreateNode();
    device->Name = FamilyTreeName(code, tree.English());
    device->ModelCode = code;
    device->ConnKey = key;
    device->Address = static_cast<uint8_t>(address);
    device->Level = 0;
    device->Kind = nkDevice;
    device->DAVisible = device->HDAVisible = true;
    // Only devices read whole are added: half a device would stand in the way of the next try.
    if (folder.Controller().ReadDeviceConfiguration(device, kCallerNewDevice) == kReadDone) {
      tree.AttachChild(ready, device);
    } else {
      std::cerr << "address " << address << ": configuration not read\n";
      ++failed;
    }
  }
  std::vector<TNTreeData*> candidates = ready->Children;
  size_t added = folder.Trees().MergeDevices(ready, options.replace);
  if (added > 0) folder.Save();
  std::vector<const TNTreeData*> devices;
  for (const TNTreeData* d : candidates)
    if (d->Parent == tree.Root()) devices.push_back(d);
  PrintDevices(devices, options.json, "added");
  return failed > 0 ? 1 : 0;
}

int RefreshDevice(const TDeviceOptions& options) {
  TFolder folder(options);
  TNTreeData* device = folder.Device(options.device);
  if (folder.Controller().RefreshDevice(device) != kReadDone) {
    std::cerr << "error: the configuration of " << options.device
              << " was not read; the device is unchanged\n";
    return 1;
  }
  folder.Save();
  std::cout << "refreshed " << device->Name << "\n";
  return 0;
}

int RemoveDevice(const TDeviceOptions& options) {
  TFolder folder(options);
  TNTreeData* device = folder.Device(options.device);
  std::string name = device->Name;
  folder.Trees().RemoveDevice(device);
  folder.Save();
  std::cout << "removed " << name << "\n";
  return 0;
}

int AutoConfig(const TDeviceOptions& options) {
  TFolder folder(options);
  std::vector<TConnKey> keys;
  for (const std::string& name : options.conns) keys.push_back(folder.Key(name));
  size_t before = folder.Trees().DeviceCount();
  size_t added = folder.Controller().AutoConfigure(keys);
  if (added > 0) folder.Save();
  PrintDevices(DevicesAfter(folder.Tree(), before), options.json, "added");
  return 0;
}

int Import(const TDeviceOptions& options) {
  TFolder folder(options);
  size_t before = folder.Trees().DeviceCount();
  size_t added = 0;
  try {
    added = folder.Trees().ImportOldConfiguration(options.from, options.replace);
  } catch (const EConfigFile& e) {
    std::string where =
        e.Offset() == EConfigFile::kNoOffset ? "" : " at offset " + std::to_string(e.Offset());
    throw ECommandError(e.File().string() + where + ": " + e.Reason());
  }
  if (added > 0) folder.Save();
  PrintDevices(DevicesAfter(folder.Tree(), before), false, "imported");
  return 0;
}

Json AttributeJson(const TAttribRec& attribute) {
  Json value;
  if (attribute.Value.vt == VT_BSTR)
    value = attribute.Value.s;
  else if (attribute.Value.vt != VT_EMPTY)
    value = attribute.Value.AsDouble();
  return Json{{"id", attribute.Id}, {"value", value}};
}

int PrintTree(const TDeviceOptions& options) {
  TFolder folder(options);
  TTree& tree = folder.Tree();
  tree.Renumber();
  Json out = Json::array();
  auto lock = tree.ReadLock();
  std::vector<std::pair<const TNTreeData*, int>> stack{{tree.Root(), 0}};
  while (!stack.empty()) {
    auto [node, depth] = stack.back();
    stack.pop_back();
    if (options.json) {
      Json attributes = Json::array();
      for (const TAttribRec& a : node->Attributes)
        if (a.Id != 0) attributes.push_back(AttributeJson(a));
      out.push_back(Json{{"path", node->Path},
                         {"handle", node->Handle},
                         {"kind", node->Kind},
                         {"model", node->ModelCode},
                         {"address", node->Address},
                         {"serial", node->Serial},
                         {"da", node->DAVisible},
                         {"hda", node->HDAVisible},
                         {"attributes", attributes}});
    } else {
      std::cout << std::string(static_cast<size_t>(depth) * 2, ' ') << node->Path << "  handle "
                << node->Handle << "  kind " << int(node->Kind) << "  model " << int(node->ModelCode)
                << (node->DAVisible ? "  DA" : "") << (node->HDAVisible ? "  HDA" : "") << "\n";
    }
    for (auto it = node->Children.rbegin(); it != node->Children.rend(); ++it)
      stack.emplace_back(*it, depth + 1);
  }
  if (options.json) std::cout << out.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
  return 0;
}

// edits: the command changes the configuration, which a running server of the folder would save over.
int Guarded(int (*command)(const TDeviceOptions&), const TDeviceOptions& options, bool edits) {
  try {
    const auto claim = edits ? ClaimUnserved(options.dir, "changing its configuration") : nullptr;
    return command(options);
  } catch (const ECommandError& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 2;
  }
}

CLI::App* Command(CLI::App& parent, const char* name, const char* help,
                  std::shared_ptr<TDeviceOptions> options, int (*run)(const TDeviceOptions&), int& exitCode,
                  bool edits = true) {
  CLI::App* command = parent.add_subcommand(name, help);
  command->add_option("--dir", options->dir, "Program folder")->required();
  command->callback([options, run, edits, &exitCode] { exitCode = Guarded(run, *options, edits); });
  return command;
}

}  // namespace

void AddDeviceCommands(CLI::App& app, int& exitCode) {
  CLI::App* device = app.add_subcommand("device", "Add, refresh or remove devices of the configuration");
  device->require_subcommand(1);

  auto add = std::make_shared<TDeviceOptions>();
  CLI::App* addCmd =
      Command(*device, "add", "Read devices' configuration and add them", add, AddDevices, exitCode);
  addCmd->add_option("--conn", add->conn, "Connection name")->required();
  addCmd->add_option("--family,--model", add->family, "Model code or family key (tarvel2001, orlix, km)")
      ->required();
  addCmd->add_option("--address", add->address, "Address or range A-B")->required();
  addCmd->add_flag("--replace", add->replace, "Replace a device that is already configured");
  addCmd->add_flag("--yes", add->yes, "Answer yes to questions (remove a device with the same serial)");
  addCmd->add_flag("--json", add->json, "JSON for scripts");

  auto refresh = std::make_shared<TDeviceOptions>();
  Command(*device, "refresh", "Read a device's configuration again", refresh, RefreshDevice, exitCode)
      ->add_option("--device", refresh->device, "Device name or serial")
      ->required();

  auto remove = std::make_shared<TDeviceOptions>();
  Command(*device, "remove", "Remove a device", remove, RemoveDevice, exitCode)
      ->add_option("--device", remove->device, "Device name or serial")
      ->required();

  auto autoconfig = std::make_shared<TDeviceOptions>();
  CLI::App* autoCmd = Command(app, "autoconfig", "Scan connections and add every meter not yet configured",
                              autoconfig, AutoConfig, exitCode);
  autoCmd->add_option("--conn", autoconfig->conns, "Connection names")->required();
  autoCmd->add_flag("--json", autoconfig->json, "JSON for scripts");
  autoCmd
      ->add_option("--tarvelm-request", autoconfig->tarvelMRequest,
                   "Tarvel M archives asked by records or parameters (kept in tParam.dat)")
      ->check(CLI::IsMember({"records", "parameters"}));
  autoCmd
      ->add_option("--tarvelm-layout", autoconfig->tarvelMLayout,
                   "Tarvel M tree: archives or systems at the top (kept in tParam.dat)")
      ->check(CLI::IsMember({"archives", "systems"}));

  auto import = std::make_shared<TDeviceOptions>();
  CLI::App* importCmd =
      Command(app, "import", "Import the configuration of an older version", import, Import, exitCode);
  importCmd->add_option("--from", import->from, "Folder with tttarvel.dat, tttarDA.dat, tttarvel.ftd")
      ->required();
  importCmd->add_flag("--replace", import->replace, "Replace devices that are already configured");

  auto tree = std::make_shared<TDeviceOptions>();
  Command(app, "tree", "Show the device tree", tree, PrintTree, exitCode, false)
      ->add_flag("--json", tree->json, "JSON for scripts");
}

}  // namespace orvela::ctl
