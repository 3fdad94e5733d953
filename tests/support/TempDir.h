#pragma once
// A scratch folder removed with everything in it when the scope ends, and whole-file helpers.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace orvela::test {

class TTempDir {
 public:
  enum class EPlace {
    Disk,
    // /dev/shm when there is one: for tests that sync every write (SQLite) and would only be slowed by a
    // busy disk.
    Memory,
  };
  explicit TTempDir(const std::string& prefix = "orvela", EPlace place = EPlace::Disk);
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Whole files as bytes or text; an unreadable file reads as empty, a failed write throws.
std::vector<uint8_t> ReadBytes(const std::filesystem::path& file);
void WriteBytes(const std::filesystem::path& file, const std::vector<uint8_t>& data);
std::string ReadText(const std::filesystem::path& file);
void WriteText(const std::filesystem::path& file, const std::string& text);

}  // namespace orvela::test
