#pragma once
// Rates no Bxxx constant names, through termios2 (BOTHER). Kept apart: the kernel's termios headers
// cannot share a unit with the C library's.

namespace orvela {

// Sets both speeds of an open terminal to baud; 0 or the errno.
int SetTermios2Speed(int fd, int baud);
// The output speed in bit/s, whatever way it was set; 0 or the errno.
int GetTermios2Speed(int fd, int& baud);

}  // namespace orvela
