#include "metersim/Pty.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "metersim/Line.h"

namespace orvela::sim {

TPty OpenRawPty() {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128] = {};
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
      ::ptsname_r(master, name, sizeof name) != 0) {
    std::string reason = std::strerror(errno);
    if (master >= 0) ::close(master);
    throw ESimError("cannot open a pseudo-terminal: " + reason);
  }
  int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios mode{};
  if (slave < 0 || ::tcgetattr(slave, &mode) != 0) {
    std::string reason = std::strerror(errno);
    if (slave >= 0) ::close(slave);
    ::close(master);
    throw ESimError("cannot open " + std::string(name) + ": " + reason);
  }
  ::cfmakeraw(&mode);
  ::tcsetattr(slave, TCSANOW, &mode);
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  return TPty{master, slave, name};
}

void ClosePty(TPty& pty) {
  if (pty.master >= 0) ::close(pty.master);
  if (pty.slave >= 0) ::close(pty.slave);
  pty = TPty{};
}

}  // namespace orvela::sim
