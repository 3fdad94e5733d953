#include "tree/ConfigFiles.h"

#include <cstdlib>
#include <system_error>

#include "platform/FileUtil.h"

namespace orvela {
namespace {

std::string Describe(const std::filesystem::path& file, size_t offset, const std::string& reason) {
  std::string text = file.string();
  if (offset != EConfigFile::kNoOffset) text += ": offset " + std::to_string(offset);
  return text + ": " + reason;
}

}  // namespace

EConfigFile::EConfigFile(TConfigFault fault, std::filesystem::path file, size_t offset, std::string reason)
    : std::runtime_error(Describe(file, offset, reason)),
      fault_(fault),
      file_(std::move(file)),
      offset_(offset),
      reason_(std::move(reason)) {}

std::vector<uint8_t> ReadConfigFile(const std::filesystem::path& file) {
  std::error_code ec;
  const auto status = std::filesystem::status(file, ec);
  if (status.type() == std::filesystem::file_type::not_found)
    throw EConfigFile(TConfigFault::Missing, file, EConfigFile::kNoOffset, "file not found");
  if (ec) throw EConfigFile(TConfigFault::Unreadable, file, EConfigFile::kNoOffset, ec.message());
  if (!std::filesystem::is_regular_file(status))
    throw EConfigFile(TConfigFault::Unreadable, file, EConfigFile::kNoOffset, "not a regular file");
  auto data = ReadWholeFile(file);
  if (!data) throw EConfigFile(TConfigFault::Unreadable, file, EConfigFile::kNoOffset, "cannot be read");
  return std::move(*data);
}

void WriteConfigFile(const std::filesystem::path& file, std::span<const uint8_t> data) {
  std::string reason = WriteFileAtomic(file, data);
  if (!reason.empty()) throw EConfigFile(TConfigFault::WriteFailed, file, EConfigFile::kNoOffset, reason);
}

std::string FolderText(const std::filesystem::path& folder) {
  std::string text = folder.string();
  if (text.empty() || text.back() != '/') text += '/';
  return text;
}

std::string FileNamePart(const std::string& path) {
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::filesystem::path DefaultProgramFolder() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
    return std::filesystem::path(xdg) / "OrvelaOPC";
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home && *home ? home : ".") / ".local" / "share" / "OrvelaOPC";
}

}  // namespace orvela
