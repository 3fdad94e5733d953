#include "tree/WorkLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <system_error>

namespace orvela {
namespace {

// Opens a log for appending; only a regular file will do, so a FIFO or device planted under the log's
// name can neither block the start nor swallow the lines. Empty file and errno set on failure.
std::FILE* OpenLogForAppend(const std::filesystem::path& path) {
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
  if (fd < 0) {
    if (errno == ENXIO) errno = EINVAL;  // a FIFO nobody reads: not a log file either
    return nullptr;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "a");
  if (!file) ::close(fd);
  return file;
}

}  // namespace

TWorkLogs::~TWorkLogs() {
  Close();
}

std::string TWorkLogs::OpenWorkLogs(const std::filesystem::path& programFolder) {
  std::string reason;
  {
    std::lock_guard lock(mutex_);
    folder_ = programFolder;
    reason = OpenLocked();
  }
  WorkLog(kWorkLogHeader);
  return reason;
}

std::string TWorkLogs::OpenLocked() {
  CloseLocked();
  std::string reason;
  for (auto [file, name] : {std::pair{&work_, kWorkLogFile}, std::pair{&order_, kOrderLogFile}}) {
    const auto path = folder_ / name;
    *file = OpenLogForAppend(path);
    if (!*file && reason.empty())
      reason =
          path.string() + ": " + (errno == EINVAL ? std::string("not a regular file") : std::strerror(errno));
  }
  writeFailing_ = false;
  return reason;
}

void TWorkLogs::CloseLocked() {
  for (std::FILE** file : {&work_, &order_}) {
    if (*file) std::fclose(*file);
    *file = nullptr;
  }
}

void TWorkLogs::Close() {
  std::lock_guard lock(mutex_);
  CloseLocked();
}

std::string TWorkLogs::ClearWorkLogs() {
  std::string reason;
  {
    std::lock_guard lock(mutex_);
    CloseLocked();
    for (const char* name : {kWorkLogFile, kOrderLogFile}) {
      std::error_code ec;
      std::filesystem::remove(folder_ / name, ec);
      if (ec && reason.empty()) reason = (folder_ / name).string() + ": " + ec.message();
    }
    std::string openReason = OpenLocked();
    if (reason.empty()) reason = openReason;
  }
  WorkLog(kWorkLogHeader);
  return reason;
}

void TWorkLogs::WorkLog(const std::string& text) {
  if (!enabled_) return;
  std::lock_guard lock(mutex_);
  WriteLine(work_, kWorkLogFile, text);
}

void TWorkLogs::StartFailure(const std::string& text) {
  std::lock_guard lock(mutex_);
  WriteLine(work_, kWorkLogFile, text);
}

void TWorkLogs::OrderLog(const std::string& text) {
  if (!enabled_) return;
  std::lock_guard lock(mutex_);
  WriteLine(order_, kOrderLogFile, text);
}

void TWorkLogs::WriteLine(std::FILE* file, const char* name, const std::string& text) {
  if (!file) return;
  const std::string line = FormatDateTime((clock_ ? *clock_ : SystemClock()).Now()) + " | " + text + "\n";
  const bool ok = std::fwrite(line.data(), 1, line.size(), file) == line.size() && std::fflush(file) == 0;
  // A full disk is told once, not once per line.
  if (!ok && !writeFailing_)
    std::cerr << (folder_ / name).string() << ": " << std::strerror(errno ? errno : EIO) << std::endl;
  writeFailing_ = !ok;
  if (!ok) std::clearerr(file);
}

TWorkLogs& ProcessWorkLogs() {
  static TWorkLogs logs;
  return logs;
}

}  // namespace orvela
