#pragma once
// A connection to a running server's local endpoint (JSON lines over the Unix socket in its program folder),
// for a command that reads through the server instead of polling its lines a second time. Every wait has
// a deadline on the process clock.
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "orvelactl/ServerClient.h"

namespace orvela::ctl {

class TEndpointLink {
 public:
  // Connects (waiting up to limit for a server still starting to bind its socket) and says hello. Throws
  // EClientError when nothing answers there.
  TEndpointLink(const std::filesystem::path& socket, std::chrono::milliseconds limit);
  ~TEndpointLink();
  TEndpointLink(const TEndpointLink&) = delete;
  TEndpointLink& operator=(const TEndpointLink&) = delete;

  struct TAnswer {
    Json reply;            // the request's one reply
    bool expired = false;  // limit passed: the request was cancelled and this is its last reply
  };
  // Sends the request under a fresh id and waits up to limit for its reply; its parts go to onPart as they
  // come. Past the limit the request is cancelled and its reply (normally "cancelled") awaited a little.
  // Throws EClientError when the connection ends, the server stops or the reply never comes.
  TAnswer Ask(Json request, std::chrono::milliseconds limit,
              const std::function<void(const Json&)>& onPart = {});
  // The next event, waiting up to limit; nullopt when none came. Throws as Ask does.
  std::optional<Json> NextEvent(std::chrono::milliseconds limit);

 private:
  void Send(const Json& message);
  // The next message up to the clock tick deadline; nullopt when it passed. Events go to events_ unless
  // wanted; a shutdown event or a closed connection throws.
  std::optional<Json> Next(int64_t deadline);
  std::optional<Json> TakeLine();
  bool Fill(int64_t deadline);

  int fd_ = -1;
  std::string in_;
  int64_t nextId_ = 1;
  std::deque<Json> events_;
};

// Throws EClientError "what: <server's text> (0x...)" for a failed reply.
void CheckReply(const Json& reply, const std::string& what);
// The HRESULT of a reply or an item ("hr"), 0 when absent.
HRESULT ReplyCode(const Json& answer);
// A value as the endpoint sends it, in the form VariantJson gives the same value.
Json WireValue(const Json& value);
// A time as the endpoint sends it (microseconds since 1970 UTC, or null).
FILETIME WireTime(const Json& time);

}  // namespace orvela::ctl
