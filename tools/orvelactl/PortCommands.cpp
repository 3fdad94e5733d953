// orvelactl ports: the machine's serial ports and the program folder's map from port names ("COM3") to
// devices.
#include <cstdlib>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "links/PortMap.h"
#include "orvelactl/Commands.h"

namespace orvela::ctl {
namespace {

using Json = nlohmann::ordered_json;

struct TPortOptions {
  std::string dir;
  std::string name;
  std::string path;
  bool json = false;
};

// The folder's map, or nullopt with the reason printed.
std::optional<TPortMap> LoadMap(const std::string& dir) {
  std::string error;
  TPortMap map = TPortMap::Load(dir, error);
  if (!error.empty()) {
    std::cerr << "error: " << error << "\n";
    return std::nullopt;
  }
  return map;
}

// Map entries with where each comes from; the environment's win over the folder's.
Json MapEntries(const TPortMap& fromFile, const TPortMap& fromEnv) {
  Json entries = Json::array();
  for (const TPortMapEntry& e : fromFile.Entries())
    if (!fromEnv.Find(e.name)) entries.push_back(Json{{"name", e.name}, {"path", e.path}, {"from", "file"}});
  for (const TPortMapEntry& e : fromEnv.Entries())
    entries.push_back(Json{{"name", e.name}, {"path", e.path}, {"from", "environment"}});
  return entries;
}

int RunList(const TPortOptions& options) {
  std::optional<TPortMap> fromFile = LoadMap(options.dir);
  if (!fromFile) return 1;
  std::string envError;
  const char* env = std::getenv(kPortsEnvironment);
  TPortMap fromEnv = env ? TPortMap::Parse(env, ';', envError) : TPortMap{};
  if (!envError.empty()) std::cerr << "warning: " << kPortsEnvironment << ": " << envError << "\n";
  Json map = MapEntries(*fromFile, fromEnv);
  Json ports = Json::array();
  for (const std::string& path : MachineSerialPorts()) {
    Json names = Json::array();
    for (const Json& e : map)
      if (e["path"] == path) names.push_back(e["name"]);
    ports.push_back(Json{{"path", path}, {"names", names}});
  }
  if (options.json) {
    std::cout << Json{{"ports", ports}, {"map", map}}.dump(2, ' ', false, Json::error_handler_t::replace)
              << "\n";
    return 0;
  }
  std::cout << "Serial ports of this machine: " << ports.size() << "\n";
  for (const Json& p : ports) {
    std::cout << "  " << p["path"].get<std::string>();
    for (const Json& n : p["names"]) std::cout << "  <- " << n.get<std::string>();
    std::cout << "\n";
  }
  std::cout << "Port map: " << map.size() << " entr" << (map.size() == 1 ? "y" : "ies") << "\n";
  for (const Json& e : map)
    std::cout << "  " << e["name"].get<std::string>() << " = " << e["path"].get<std::string>() << " ("
              << e["from"].get<std::string>() << ")\n";
  return 0;
}

int RunMap(const TPortOptions& options) {
  std::optional<TPortMap> map = LoadMap(options.dir);
  if (!map) return 1;
  if (std::string problem = map->Map(options.name, options.path); !problem.empty()) {
    std::cerr << "error: " << problem << "\n";
    return 1;
  }
  if (std::string problem = map->Save(options.dir); !problem.empty()) {
    std::cerr << "error: " << problem << "\n";
    return 1;
  }
  std::cout << options.name << " = " << options.path << "\n";
  return 0;
}

int RunUnmap(const TPortOptions& options) {
  std::optional<TPortMap> map = LoadMap(options.dir);
  if (!map) return 1;
  if (!map->Unmap(options.name)) {
    std::cerr << "error: " << options.name << " is not mapped in " << options.dir << "\n";
    return 1;
  }
  if (std::string problem = map->Save(options.dir); !problem.empty()) {
    std::cerr << "error: " << problem << "\n";
    return 1;
  }
  std::cout << options.name << " unmapped\n";
  return 0;
}

}  // namespace

void AddPortCommands(CLI::App& app, int& exitCode) {
  CLI::App* ports = app.add_subcommand("ports", "Serial ports and the map from port names to devices");
  ports->require_subcommand(1);
  auto options = std::make_shared<TPortOptions>();
  CLI::App* list =
      ports->add_subcommand("list", "The machine's serial ports and what each port name maps to");
  list->add_option("--dir", options->dir, "Program folder")->required();
  list->add_flag("--json", options->json, "JSON for scripts instead of text");
  list->callback([options, &exitCode] { exitCode = RunList(*options); });
  CLI::App* map = ports->add_subcommand("map", "Map a port name (COM3) to a device path");
  map->add_option("--dir", options->dir, "Program folder")->required();
  map->add_option("name", options->name, "Port name as connections store it")->required();
  map->add_option("path", options->path, "Device path, e.g. /dev/ttyUSB0 or /dev/serial/by-id/...")
      ->required();
  map->callback([options, &exitCode] { exitCode = RunMap(*options); });
  CLI::App* unmap = ports->add_subcommand("unmap", "Remove a port name from the map");
  unmap->add_option("--dir", options->dir, "Program folder")->required();
  unmap->add_option("name", options->name, "Port name")->required();
  unmap->callback([options, &exitCode] { exitCode = RunUnmap(*options); });
}

}  // namespace orvela::ctl
