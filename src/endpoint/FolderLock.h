#pragma once
// One serving process per program folder.
#include <filesystem>

namespace orvela {

// Holds an exclusive lock on <folder>/orvela.lock for the life of the process that serves the folder.
class TFolderLock {
 public:
  // Throws EEndpoint with a message for people when another process holds it.
  explicit TFolderLock(const std::filesystem::path& folder);
  ~TFolderLock();
  TFolderLock(const TFolderLock&) = delete;
  TFolderLock& operator=(const TFolderLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace orvela
