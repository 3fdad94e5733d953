#pragma once
// Port names as connections store them ("COM3") and the devices they stand for: a map kept in the program
// folder, entries from the environment over it (ORVELA_PORTS="COM7=/dev/pts/3;COM9=/dev/ttyUSB0"), and
// for an unmapped COMn the n-th built-in port.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvela {

inline constexpr const char* kPortMapFileName = "Ports.txt";
inline constexpr const char* kPortsEnvironment = "ORVELA_PORTS";
// The width of the port name in a connection key.
inline constexpr size_t kMaxPortName = 6;
inline constexpr size_t kMaxPortPath = 4096;
inline constexpr size_t kMaxPortEntries = 256;

struct TPortMapEntry {
  std::string name;
  std::string path;
  friend bool operator==(const TPortMapEntry&, const TPortMapEntry&) = default;
};

// ASCII letters compared ignoring case, as port names and telephone numbers are.
bool SameNameIgnoringCase(std::string_view a, std::string_view b);

// Empty when the name can be mapped (1…6 characters, no blanks, "=" or ";"), else why not.
std::string PortNameProblem(std::string_view name);

class TPortMap {
 public:
  // "NAME=PATH" entries split by the separator (lines of the file, ";" in the environment); blanks around
  // them and lines starting with "#" are skipped. A malformed entry gives an error naming it.
  static TPortMap Parse(std::string_view text, char separator, std::string& error);
  // The folder's map; a missing file is an empty map, a damaged one an error.
  static TPortMap Load(const std::filesystem::path& folder, std::string& error);
  // Writes the file (temporary file and rename); "" or the reason.
  std::string Save(const std::filesystem::path& folder) const;

  // Names compare ignoring case.
  std::optional<std::string> Find(std::string_view name) const;
  // Adds or replaces; "" or why the entry is refused.
  std::string Map(std::string_view name, std::string_view path);
  bool Unmap(std::string_view name);
  // The entries of other over these (same name: other's path).
  void Overlay(const TPortMap& other);
  const std::vector<TPortMapEntry>& Entries() const { return entries_; }

 private:
  std::vector<TPortMapEntry> entries_;
};

// The folder whose map ResolvePortPath reads; the server and orvelactl set it from --dir.
void SetPortMapFolder(const std::filesystem::path& folder);

// The device path of a stored port name: an absolute path as it is; the folder's map with the
// environment's entries over it; "COMn" → /dev/ttyS(n-1); else the name under /dev. A damaged map or
// environment entry is skipped (and said in error, when given).
std::string ResolvePortPath(std::string_view name, std::string* error = nullptr);

// The machine's serial ports: /dev/serial/by-id/*, /dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*, sorted.
std::vector<std::string> MachineSerialPorts(const std::filesystem::path& devRoot = "/dev");

}  // namespace orvela
