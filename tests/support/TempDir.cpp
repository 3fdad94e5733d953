#include "support/TempDir.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace orvela::test {

namespace fs = std::filesystem;

namespace {

fs::path BaseFor(TTempDir::EPlace place) {
  std::error_code ec;
  if (place == TTempDir::EPlace::Memory && fs::is_directory("/dev/shm", ec) &&
      ::access("/dev/shm", W_OK) == 0)
    return "/dev/shm";
  return fs::temp_directory_path();
}

}  // namespace

TTempDir::TTempDir(const std::string& prefix, EPlace place) {
  std::string pattern = (BaseFor(place) / (prefix + "-XXXXXX")).string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp: cannot make " + pattern);
  path_ = pattern;
}

TTempDir::~TTempDir() {
  std::error_code ec;
  // A test may have left its folder read-only.
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::vector<uint8_t> ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& file, const std::vector<uint8_t>& data) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteText(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

}  // namespace orvela::test
