#pragma once
// The local endpoint: out-of-process clients (the OPC UA gateway first) reach the DA and HDA server
// objects through a Unix socket in the program folder that speaks JSON lines (ua/PROTOCOL.md).
//
// One I/O thread accepts connections, reads and checks lines and writes replies; what needs the server
// objects is handed to the main thread, where one in-process client of them (created by ProgID, used
// through the OPC interfaces only) serves every connection. Make and destroy it on the main thread while
// the server classes are registered (a serving host); the main thread must keep pumping while it lives.
#include <atomic>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "endpoint/FolderLock.h"
#include "tree/TreeItem.h"

namespace orvela {

class EEndpoint : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TEndpoint {
 public:
  static constexpr const char* kSocketName = "orvela.sock";

  // Creates the server objects, binds <program folder>/orvela.sock and starts serving the items of tree
  // (the tree the server objects serve). Throws EEndpoint.
  TEndpoint(const std::filesystem::path& programFolder, TTree& tree);
  ~TEndpoint();
  TEndpoint(const TEndpoint&) = delete;
  TEndpoint& operator=(const TEndpoint&) = delete;

  const std::filesystem::path& SocketPath() const { return socketPath_; }
  // Main thread: when the listed tree changed since the last look, tells every connection that said hello
  // (one "tree" event with the new generation). The service loop calls it about once a second.
  void CheckTree();
  // Tells the clients, closes every connection, joins the I/O thread, then releases the server objects.
  void Stop();

  class TConnections;
  class TClient;

 private:
  void Run(std::stop_token stop);
  void Accept(std::vector<uint64_t>& gone);
  void CloseAll();
  void PostHousekeeping(const std::vector<uint64_t>& gone, int64_t& lastExpiry);

  std::filesystem::path socketPath_;
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  std::unique_ptr<TConnections> connections_;
  std::shared_ptr<TClient> client_;
  std::jthread thread_;
  bool stopped_ = false;
};

}  // namespace orvela
