#pragma once
// The one way tests run another program: arguments, standard input, a real-time limit, and the output,
// errors and exit code it leaves.
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace orvela::test {

struct TProcessOptions {
  std::string input;  // written to standard input, which is then closed
  // A connection to serve: the program's standard input and output are this descriptor, its errors go
  // nowhere, and nothing is captured.
  int stdioFd = -1;
  // Its own process group, so that stopping it also stops what it started (a shell's children).
  bool ownGroup = false;
};

struct TProcessResult {
  int exitCode = -1;  // -1 when it did not exit normally (killed, not started)
  std::string out;
  std::string err;
  bool timedOut = false;
};

// A running program (argv[0] is its path: PATH is not searched, FindPeer does that); killed and reaped
// when dropped. Children run in real time, so limits are real milliseconds.
class TProcess {
 public:
  explicit TProcess(std::vector<std::string> argv, TProcessOptions options = {});
  ~TProcess();
  TProcess(const TProcess&) = delete;
  TProcess& operator=(const TProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  // For signalling it (a service told to stop).
  pid_t Pid() const { return pid_; }
  // Why it did not start.
  const std::string& StartError() const { return startError_; }

  // The next line of standard output without its newline; none at the end of output or after timeoutMs.
  std::optional<std::string> ReadLine(int timeoutMs);
  // Reads both outputs to their end and waits for the exit; kills the program after timeoutMs.
  TProcessResult Finish(int timeoutMs);
  // Whether it is still running (without waiting).
  bool Running();

 private:
  bool Pump(int timeoutMs);
  void Kill();
  void CloseInput();

  pid_t pid_ = -1;
  int status_ = 0;
  bool ownGroup_ = false;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string input_;
  size_t inputSent_ = 0;
  std::string out_buffer_, err_buffer_;
  std::string startError_;
};

// Runs a program to its end, in a process group of its own.
TProcessResult RunProgram(std::vector<std::string> argv, const std::string& input = "",
                          int timeoutMs = 60'000);
// Runs a command line through /bin/sh.
TProcessResult RunShell(const std::string& command, int timeoutMs = 60'000);

}  // namespace orvela::test
