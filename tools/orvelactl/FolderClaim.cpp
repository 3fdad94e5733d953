#include "orvelactl/FolderClaim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "endpoint/Endpoint.h"

namespace orvela::ctl {
namespace {

// The file the serving process locks (endpoint/FolderLock).
constexpr const char* kLockName = "orvela.lock";

}  // namespace

TFolderClaim::TFolderClaim(const std::filesystem::path& folder) : folder_(folder) {
  const std::filesystem::path path = folder / kLockName;
  // Read-only is enough for flock, and creating the file is what the server does too.
  fd_ = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return;
  int result = 0;
  do result = ::flock(fd_, LOCK_EX | LOCK_NB);
  while (result != 0 && errno == EINTR);
  if (result == 0) return;
  served_ = errno == EWOULDBLOCK;
  ::close(fd_);
  fd_ = -1;
}

TFolderClaim::~TFolderClaim() {
  if (fd_ >= 0) ::close(fd_);
}

std::filesystem::path TFolderClaim::SocketPath() const {
  return folder_ / TEndpoint::kSocketName;
}

std::unique_ptr<TFolderClaim> ClaimUnserved(const std::filesystem::path& folder, const std::string& what) {
  auto claim = std::make_unique<TFolderClaim>(folder);
  if (claim->Served())
    throw EFolderServed("a running OrvelaOPC serves the program folder " + folder.string() +
                        "; stop it before " + what);
  return claim;
}

}  // namespace orvela::ctl
