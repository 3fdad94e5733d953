#pragma once
// Who works on a program folder: the server serving it (it holds the folder's lock file for its life), or
// this command. Commands that read devices talk to a serving server instead of polling its lines a second
// time; commands that change the configuration refuse a served folder, whose server would save its own
// tree over the change.
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

namespace orvela::ctl {

class TFolderClaim {
 public:
  // Looks at the folder's lock. When no server holds it, this command takes it for its own life, so that a
  // server started meanwhile does not poll the same lines (it refuses to start instead). A folder whose
  // lock file cannot be opened (missing, unreadable) counts as not served and is not claimed.
  explicit TFolderClaim(const std::filesystem::path& folder);
  ~TFolderClaim();
  TFolderClaim(const TFolderClaim&) = delete;
  TFolderClaim& operator=(const TFolderClaim&) = delete;

  bool Served() const { return served_; }
  // Where the serving server's local endpoint listens.
  std::filesystem::path SocketPath() const;

 private:
  std::filesystem::path folder_;
  int fd_ = -1;
  bool served_ = false;
};

// A command refused because a running server serves the folder.
class EFolderServed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// For a command that changes the folder's configuration or uses its lines itself (what: what it does):
// throws EFolderServed when a server serves the folder; otherwise the claim, to hold while it works.
std::unique_ptr<TFolderClaim> ClaimUnserved(const std::filesystem::path& folder, const std::string& what);

}  // namespace orvela::ctl
