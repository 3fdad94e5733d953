#include "links/OddSpeed.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace orvela {

int SetTermios2Speed(int fd, int baud) {
  if (baud <= 0) return EINVAL;
  termios2 mode{};
  if (::ioctl(fd, TCGETS2, &mode) != 0) return errno;
  mode.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  mode.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  mode.c_ispeed = static_cast<speed_t>(baud);
  mode.c_ospeed = static_cast<speed_t>(baud);
  return ::ioctl(fd, TCSETS2, &mode) == 0 ? 0 : errno;
}

int GetTermios2Speed(int fd, int& baud) {
  termios2 mode{};
  if (::ioctl(fd, TCGETS2, &mode) != 0) return errno;
  baud = static_cast<int>(mode.c_ospeed);
  return 0;
}

}  // namespace orvela
