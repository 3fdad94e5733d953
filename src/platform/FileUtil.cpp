#include "platform/FileUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>

namespace orvela {
namespace {

// Closes on scope exit.
class TFd {
 public:
  explicit TFd(int fd) : fd_(fd) {}
  ~TFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return fd_; }
  // Close reporting its result: a failed close can mean lost data on some file systems.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

std::string Describe(const std::filesystem::path& path, int err) {
  return path.string() + ": " + std::strerror(err);
}

bool WriteAll(int fd, std::span<const uint8_t> data, int& err) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string RandomSuffix() {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  uint64_t bits = (static_cast<uint64_t>(random()) << 32) ^ random();
  std::string out;
  for (int i = 0; i < 10; ++i, bits /= 36) out += kChars[bits % 36];
  return out;
}

// A new file beside path that nobody else has: O_EXCL refuses any existing name, a planted link included.
int CreateTemporary(const std::filesystem::path& path, mode_t mode, std::filesystem::path& tmp, int& err) {
  constexpr int kTries = 100;
  for (int i = 0; i < kTries; ++i) {
    tmp = path;
    tmp += ".tmp-" + RandomSuffix();
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    err = errno;
    if (err != EEXIST) return -1;
  }
  return -1;
}

// The rename is only durable once the folder's entry is on disk. File systems that cannot sync a folder
// say EINVAL; there is nothing more to do on them.
int SyncFolder(const std::filesystem::path& folder) {
  TFd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Get() < 0) return errno;
  if (::fsync(dir.Get()) != 0 && errno != EINVAL) return errno;
  return 0;
}

}  // namespace

std::optional<std::vector<uint8_t>> ReadFileStart(const std::filesystem::path& path, size_t limit) {
  // Non-blocking: opening a FIFO for reading would otherwise wait for a writer.
  TFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::vector<uint8_t> data;
  data.reserve(std::min(static_cast<size_t>(st.st_size), limit));
  uint8_t buffer[65536];
  while (data.size() < limit) {
    const ssize_t n = ::read(fd.Get(), buffer, std::min(sizeof buffer, limit - data.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    data.insert(data.end(), buffer, buffer + n);
  }
  return data;
}

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::filesystem::path& path) {
  return ReadFileStart(path, SIZE_MAX);
}

std::string RegularFileProblem(const std::filesystem::path& path, bool missingOk) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return errno == ENOENT && missingOk ? "" : Describe(path, errno);
  return S_ISREG(st.st_mode) ? "" : path.string() + ": not a regular file";
}

std::string WriteFileAtomic(const std::filesystem::path& path, std::span<const uint8_t> data) {
  struct stat old {};
  const bool keepMode = ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  std::filesystem::path tmp;
  int err = 0;
  TFd fd(CreateTemporary(path, 0644, tmp, err));
  if (fd.Get() < 0)
    return path.string() + ": cannot create a temporary file beside it: " + std::strerror(err);
  const auto noted = [&err](bool done) {
    if (!done) err = errno;
    return done;
  };
  // The creation mode went through the umask; an existing file's own mode is put back exactly.
  bool ok = (!keepMode || noted(::fchmod(fd.Get(), old.st_mode & 07777) == 0)) &&
            WriteAll(fd.Get(), data, err) && noted(::fsync(fd.Get()) == 0);
  ok = noted(fd.Close()) && ok;
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
    const std::string reason = Describe(path, errno);
    ::unlink(tmp.c_str());
    return reason;
  }
  if (!ok) {
    ::unlink(tmp.c_str());
    return Describe(tmp, err);
  }
  if (const int syncErr = SyncFolder(path.parent_path()); syncErr != 0)
    return Describe(path.parent_path(), syncErr);
  return {};
}

}  // namespace orvela
