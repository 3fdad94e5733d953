#pragma once
// Whole-file reads and crash-safe writes (temporary file, flush, rename over the old one).
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orvela {

// Bytes of a regular file, or nullopt when it cannot be opened or is not a regular file (a FIFO or a
// device is never read: it could block or never end).
std::optional<std::vector<uint8_t>> ReadWholeFile(const std::filesystem::path& path);
// The same for at most the first limit bytes.
std::optional<std::vector<uint8_t>> ReadFileStart(const std::filesystem::path& path, size_t limit);

// Empty when path names a regular file (links followed), or when it does not exist and missingOk;
// otherwise why it is not one ("not a regular file", "no such file", ...). For files handed to a library
// that opens them itself.
std::string RegularFileProblem(const std::filesystem::path& path, bool missingOk);

// Writes to a new uniquely named temporary file beside path (created exclusively, never through a
// link), syncs it, renames it over path and syncs the folder. An existing file keeps its mode; a new one
// gets 0644 less the umask. Returns an empty string on success, otherwise the reason; on failure the old
// file is untouched and no temporary file is left.
std::string WriteFileAtomic(const std::filesystem::path& path, std::span<const uint8_t> data);

}  // namespace orvela
