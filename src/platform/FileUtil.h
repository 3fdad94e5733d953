#pragma once
// Whole-file reads and crash-safe writes (temporary file, flush, rename over the old one).
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orvela {

// Bytes of a file, or nullopt when it cannot be opened.
std::optional<std::vector<uint8_t>> ReadWholeFile(const std::filesystem::path& path);
// Writes to path + ".tmp", syncs, renames over path. Returns an empty string on success, otherwise the
// reason; the old file is untouched on failure.
std::string WriteFileAtomic(const std::filesystem::path& path, std::span<const uint8_t> data);

}  // namespace orvela
