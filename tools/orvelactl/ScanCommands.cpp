// orvelactl scan: lists the maker's meters on one configured connection, identifies each and reads its
// serial number.
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "drivers/DataModel.h"
#include "drivers/Families.h"
#include "drivers/TarvelFactory.h"
#include "links/PortMap.h"
#include "orvelactl/Commands.h"
#include "orvelactl/FolderClaim.h"
#include "tree/ConfigController.h"

namespace orvela::ctl {
namespace {

using Json = nlohmann::ordered_json;

struct TScanOptions {
  std::string dir;
  std::string conn;
  bool json = false;
};

class EScanError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TFoundDevice {
  int address = 0;
  int model = 0;  // 0: did not say
  std::string serial;
};

// The family as the device tree names it.
std::string FamilyName(int model) {
  std::string_view name = FamilyDisplayName(static_cast<uint8_t>(model));
  return name.empty() ? "?" : std::string(name);
}

// The connection key of a row, built from its columns as the auto-configuration builds it.
TConnKey KeyFromRow(const TConnRow& row) {
  std::optional<TConnKey> key = ConnKeyFromRow(row);
  if (!key)
    throw EScanError("connection \"" + row.Columns[ccName] + "\": unknown protocol \"" +
                     row.Columns[ccProtocol] + "\"");
  return *key;
}

// The one connection of the scan, for the factory's look-ups.
class TScanCatalog : public IConnectionCatalog {
 public:
  explicit TScanCatalog(TConnSettings settings) : settings_(std::move(settings)) {}
  TConnSettings* FindSettings(const TConnKey&) override { return &settings_; }
  IChannelLog* FindOrder(const TConnKey&) override { return nullptr; }

 private:
  TConnSettings settings_;
};

// The serial number where the family has one: through the family's data model, or the reader the family
// table names while the family has no driver yet.
std::string ReadSerial(uint8_t address, int model, const TConnKey& key, TConnectionDevice& link,
                       const TModelEnvironment& environment) {
  auto code = static_cast<uint8_t>(model);
  std::unique_ptr<TDataModel> reader = TTarvelFactory::CreateModel(code, key, nullptr, &link, environment);
  const TFamily* family = FindFamily(code);
  if (!reader && family != nullptr && family->serialReader != nullptr) {
    if (auto framing = TTarvelFactory::CreateFraming(key.ProtType, nullptr))
      reader = family->serialReader(std::move(framing), nullptr, &link);
    if (reader) reader->SetEnvironment(environment);
  }
  std::string serial;
  if (reader && !reader->ReadSerialNumber(address, serial)) serial.clear();
  return serial;
}

std::vector<TFoundDevice> Scan(const TScanOptions& options) {
  SetPortMapFolder(options.dir);
  TTree tree(std::filesystem::exists(std::filesystem::path(options.dir) / "english"));
  TConfigController controller(options.dir, tree);
  controller.LoadSettings();  // a missing or damaged tParam.dat leaves the defaults: the program folder
  if (auto problem = controller.LoadConnections()) throw EScanError(problem->what());
  const TConnRow* row = nullptr;
  for (const TConnRow& r : controller.Connections().Rows) {
    if (r.Columns[ccName] != options.conn) continue;
    row = &r;
    break;
  }
  if (row == nullptr)
    throw EScanError("no connection \"" + options.conn + "\" in " + controller.ConnectionsPath().string());

  TConnKey key = KeyFromRow(*row);
  TConnSettings settings = row->Settings.value_or(TConnSettings::Defaults());
  settings.Key = key;
  TScanCatalog catalog(settings);
  std::unique_ptr<TConnectionDevice> link = TTarvelFactory::CreateLink(key, nullptr, &catalog);
  if (!link) throw EScanError("connection kind " + std::to_string(key.ConnType) + " cannot be scanned yet");
  link->SetHoldMark(false);
  link->SetOwnedByModel(false);
  if (!link->SetAddress(key.LinkAddress)) throw EScanError("bad link address \"" + key.LinkAddress + "\"");
  const TModelEnvironment environment{controller.Settings(), tree.English()};
  std::unique_ptr<TDataModel> scan =
      TTarvelFactory::CreateScanModel(key.ProtType, link.get(), nullptr, environment);
  if (!scan) throw EScanError("protocol \"" + row->Columns[ccProtocol] + "\" cannot be scanned yet");

  TRListData list;
  if (!scan->ReadDeviceList(list)) throw EScanError("the line gave no device list");
  std::vector<TFoundDevice> found;
  for (uint8_t address : list.Ids) {
    TFoundDevice device{address, 0, {}};
    uint8_t model = 0;
    if (scan->IdentifyDevice(address, model) && model != 0) {
      device.model = model;
      device.serial = ReadSerial(address, model, key, *link, environment);
    }
    found.push_back(device);
  }
  link->Release();
  return found;
}

void Print(const std::vector<TFoundDevice>& devices, bool json) {
  if (json) {
    Json out = Json::array();
    for (const TFoundDevice& d : devices)
      out.push_back(Json{{"address", d.address}, {"model", d.model}, {"serial", d.serial}});
    std::cout << out.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
    return;
  }
  std::cout << "Found " << devices.size() << " device(s)\n";
  for (const TFoundDevice& d : devices) {
    std::cout << "address " << d.address << ": ";
    if (d.model == 0) {
      std::cout << "not identified\n";
      continue;
    }
    std::cout << "model " << d.model << " " << FamilyName(d.model);
    std::cout << ", serial " << (d.serial.empty() ? "not read" : d.serial) << "\n";
  }
}

int RunScan(const TScanOptions& options) {
  try {
    // A second master on the server's lines would garble both.
    const auto claim = ClaimUnserved(options.dir, "scanning its lines");
    Print(Scan(options), options.json);
    return 0;
  } catch (const EScanError& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 1;
  } catch (const ETarvelException& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 2;
  }
}

}  // namespace

void AddScanCommands(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<TScanOptions>();
  CLI::App* scan =
      app.add_subcommand("scan", "List, identify and read the serial numbers of the meters on a connection");
  scan->add_option("--dir", options->dir, "Program folder")->required();
  scan->add_option("--conn", options->conn, "Connection name as the connection list shows it")->required();
  scan->add_flag("--json", options->json, "JSON for scripts instead of text");
  scan->callback([options, &exitCode] { exitCode = RunScan(*options); });
}

}  // namespace orvela::ctl
