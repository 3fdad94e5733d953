#pragma once
// Names and places of the configuration files, and the one error type for a file that could not be read
// or written: which file, where in it, and why.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvela {

constexpr const char* kSettingsFileName = "tParam.dat";
constexpr const char* kConnectionFileName = "tConn.dat";
constexpr const char* kTreeFileName = "Config.kopc";
// A folder setting with this value (or empty) means the program folder.
constexpr const char* kApplicationFolder = "Application";

enum class TConfigFault : uint8_t {
  Missing,  // the file does not exist
  Damaged,  // truncated, out of bounds or otherwise not the format
  Unreadable,
  WriteFailed,
  SaveRefused,  // the file did not load, and saving would replace it with less than it holds
};

// The three files, for what is kept per file.
enum class TConfigPart : uint8_t { Settings, Connections, Tree };
constexpr size_t kConfigPartCount = 3;

class EConfigFile : public std::runtime_error {
 public:
  static constexpr size_t kNoOffset = static_cast<size_t>(-1);

  EConfigFile(TConfigFault fault, std::filesystem::path file, size_t offset, std::string reason);

  TConfigFault Fault() const { return fault_; }
  const std::filesystem::path& File() const { return file_; }
  // Byte offset of the damage; kNoOffset when the fault is not at a place in the file.
  size_t Offset() const { return offset_; }
  const std::string& Reason() const { return reason_; }

 private:
  TConfigFault fault_;
  std::filesystem::path file_;
  size_t offset_;
  std::string reason_;
};

using TConfigProblems = std::vector<EConfigFile>;

// The file's bytes. Throws EConfigFile (Missing or Unreadable).
std::vector<uint8_t> ReadConfigFile(const std::filesystem::path& file);
// Replaces the file atomically. Throws EConfigFile (WriteFailed); the old file then stays as it was.
void WriteConfigFile(const std::filesystem::path& file, std::span<const uint8_t> data);

// The folder as the settings keep it: its text with a trailing separator.
std::string FolderText(const std::filesystem::path& folder);
// The file-name part of a path kept in the settings, which may use either separator.
std::string FileNamePart(const std::string& path);
// Where the program keeps its files when no --dir is given: $XDG_DATA_HOME/OrvelaOPC, or
// ~/.local/share/OrvelaOPC.
std::filesystem::path DefaultProgramFolder();

}  // namespace orvela
