#include "platform/FileUtil.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace orvela {

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return data;
}

std::string WriteFileAtomic(const std::filesystem::path& path, std::span<const uint8_t> data) {
  const std::filesystem::path tmp = path.string() + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return tmp.string() + ": " + std::strerror(errno);
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::string reason = tmp.string() + ": " + std::strerror(n < 0 ? errno : EIO);
      ::close(fd);
      ::unlink(tmp.c_str());
      return reason;
    }
    done += static_cast<size_t>(n);
  }
  const bool synced = ::fsync(fd) == 0;
  const int syncErr = errno;
  const bool closed = ::close(fd) == 0;
  if (!synced || !closed) {
    std::string reason = tmp.string() + ": " + std::strerror(synced ? errno : syncErr);
    ::unlink(tmp.c_str());
    return reason;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    std::string reason = path.string() + ": " + std::strerror(errno);
    ::unlink(tmp.c_str());
    return reason;
  }
  return {};
}

}  // namespace orvela
