#include "links/PortMap.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <mutex>
#include <system_error>

#include "platform/FileUtil.h"

namespace orvela {
namespace {

constexpr size_t kMaxMapFileBytes = 1 << 20;

std::mutex folderMutex;
std::filesystem::path mapFolder;

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

// The n of "COMn" (1…256), when the name has that form.
std::optional<int> ComNumber(std::string_view name) {
  if (name.size() < 4 || !SameNameIgnoringCase(name.substr(0, 3), "COM")) return std::nullopt;
  int n = 0;
  auto [end, ec] = std::from_chars(name.data() + 3, name.data() + name.size(), n);
  if (ec != std::errc() || end != name.data() + name.size() || n < 1 || n > 256) return std::nullopt;
  return n;
}

}  // namespace

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string PortNameProblem(std::string_view name) {
  if (name.empty()) return "empty port name";
  if (name.size() > kMaxPortName)
    return "port name \"" + std::string(name) + "\" is longer than " + std::to_string(kMaxPortName);
  for (char c : name)
    if (std::isspace(static_cast<unsigned char>(c)) || c == '=' || c == ';' || c == '/')
      return "port name \"" + std::string(name) + "\" holds a blank, \"=\", \";\" or \"/\"";
  return {};
}

TPortMap TPortMap::Parse(std::string_view text, char separator, std::string& error) {
  TPortMap map;
  while (!text.empty()) {
    size_t end = text.find(separator);
    std::string_view entry = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (entry.empty() || entry.front() == '#') continue;
    size_t eq = entry.find('=');
    std::string problem = eq == std::string_view::npos
                              ? "no \"=\""
                              : map.Map(Trim(entry.substr(0, eq)), Trim(entry.substr(eq + 1)));
    if (!problem.empty()) {
      error = "port map entry \"" + std::string(entry.substr(0, 80)) + "\": " + problem;
      return {};
    }
  }
  return map;
}

TPortMap TPortMap::Load(const std::filesystem::path& folder, std::string& error) {
  std::filesystem::path path = folder / kPortMapFileName;
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return {};
  std::optional<std::vector<uint8_t>> bytes = ReadFileStart(path, kMaxMapFileBytes + 1);
  if (!bytes || bytes->size() > kMaxMapFileBytes) {
    error = path.string() + ": cannot be read or is too large";
    return {};
  }
  TPortMap map =
      Parse(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), '\n', error);
  if (!error.empty()) error = path.string() + ": " + error;
  return map;
}

std::string TPortMap::Save(const std::filesystem::path& folder) const {
  std::string text = "# Port names of connections and the devices they stand for: NAME=PATH\n";
  for (const TPortMapEntry& e : entries_) text += e.name + "=" + e.path + "\n";
  return WriteFileAtomic(folder / kPortMapFileName,
                         std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

std::optional<std::string> TPortMap::Find(std::string_view name) const {
  for (const TPortMapEntry& e : entries_)
    if (SameNameIgnoringCase(e.name, name)) return e.path;
  return std::nullopt;
}

std::string TPortMap::Map(std::string_view name, std::string_view path) {
  if (std::string problem = PortNameProblem(name); !problem.empty()) return problem;
  if (path.empty() || path.size() > kMaxPortPath || path.find('\n') != std::string_view::npos ||
      path.find(';') != std::string_view::npos)
    return "bad device path \"" + std::string(path.substr(0, 80)) + "\"";
  for (TPortMapEntry& e : entries_) {
    if (!SameNameIgnoringCase(e.name, name)) continue;
    e.path = std::string(path);
    return {};
  }
  if (entries_.size() >= kMaxPortEntries) return "more than " + std::to_string(kMaxPortEntries) + " ports";
  entries_.push_back({std::string(name), std::string(path)});
  return {};
}

bool TPortMap::Unmap(std::string_view name) {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const auto& e) { return SameNameIgnoringCase(e.name, name); });
  if (it == entries_.end()) return false;
  entries_.erase(it);
  return true;
}

void TPortMap::Overlay(const TPortMap& other) {
  for (const TPortMapEntry& e : other.entries_) Map(e.name, e.path);
}

void SetPortMapFolder(const std::filesystem::path& folder) {
  std::lock_guard lock(folderMutex);
  mapFolder = folder;
}

std::string ResolvePortPath(std::string_view name, std::string* error) {
  if (!name.empty() && name.front() == '/') return std::string(name);
  std::filesystem::path folder;
  {
    std::lock_guard lock(folderMutex);
    folder = mapFolder;
  }
  std::string problem;
  TPortMap map = folder.empty() ? TPortMap{} : TPortMap::Load(folder, problem);
  if (const char* env = std::getenv(kPortsEnvironment)) {
    std::string envProblem;
    TPortMap fromEnv = TPortMap::Parse(env, ';', envProblem);
    if (!envProblem.empty())
      problem += (problem.empty() ? "" : "; ") + std::string(kPortsEnvironment) + ": " + envProblem;
    map.Overlay(fromEnv);
  }
  if (error) *error = problem;
  if (std::optional<std::string> path = map.Find(name)) return *path;
  if (std::optional<int> n = ComNumber(name)) return "/dev/ttyS" + std::to_string(*n - 1);
  return "/dev/" + std::string(name);
}

std::vector<std::string> MachineSerialPorts(const std::filesystem::path& devRoot) {
  std::vector<std::string> ports;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(devRoot / "serial" / "by-id", ec))
    ports.push_back(e.path().string());
  std::vector<std::string> direct;
  for (const auto& e : std::filesystem::directory_iterator(devRoot, ec)) {
    std::string name = e.path().filename().string();
    for (std::string_view prefix : {"ttyS", "ttyUSB", "ttyACM"}) {
      if (name.size() > prefix.size() && name.starts_with(prefix) &&
          std::isdigit(static_cast<unsigned char>(name[prefix.size()])))
        direct.push_back(e.path().string());
    }
  }
  std::sort(ports.begin(), ports.end());
  std::sort(direct.begin(), direct.end(), [](const std::string& a, const std::string& b) {
    // ttyS2 before ttyS10.
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  ports.insert(ports.end(), direct.begin(), direct.end());
  return ports;
}

}  // namespace orvela
