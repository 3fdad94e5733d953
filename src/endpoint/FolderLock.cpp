#include "endpoint/FolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "endpoint/Endpoint.h"

namespace orvela {

TFolderLock::TFolderLock(const std::filesystem::path& folder) {
  const std::filesystem::path path = folder / "orvela.lock";
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) throw EEndpoint("cannot open " + path.string() + ": " + std::strerror(errno));
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd_);
    fd_ = -1;
    throw EEndpoint("another OrvelaOPC already serves the program folder " + folder.string());
  }
}

TFolderLock::~TFolderLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace orvela
