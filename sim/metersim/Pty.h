#pragma once
// A pseudo-terminal in raw mode whose master side a simulator serves and whose slave path a serial link
// opens.
#include <string>

namespace orvela::sim {

struct TPty {
  int master = -1;  // non-blocking
  int slave = -1;   // kept open so the master never sees the line hang up between users
  std::string path;
};

// Raises ESimError when no pseudo-terminal can be had.
TPty OpenRawPty();
void ClosePty(TPty& pty);

}  // namespace orvela::sim
