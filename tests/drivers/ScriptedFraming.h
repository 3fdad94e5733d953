#pragma once
// A framing that hands the driver scripted answers and a link that counts its use: for driver paths a live
// line cannot be made to take in a chosen order.
#include <deque>
#include <optional>
#include <vector>

#include "links/ConnectionDevice.h"
#include "protocols/Protocol.h"
#include "support/Fakes.h"

namespace orvela::test {

// Hands out the scripted answers in order; nullopt is a failed exchange (a port failure when portFails is
// set). As the XModem framing, an answer of six bytes or fewer lands in the buffer but does not count as a
// successful exchange. Records the requests.
class TScriptedFraming : public TProtocol {
 public:
  std::deque<std::optional<std::vector<uint8_t>>> answers;
  std::vector<std::vector<uint8_t>> requests;
  bool portFails = false;
  bool Request(std::span<const uint8_t> request, TBytes& buffer) override {
    requests.emplace_back(request.begin(), request.end());
    replyArrived_ = false;
    resultCode_ = portFails ? kResultPortFailure : 0;
    std::optional<std::vector<uint8_t>> answer;
    if (!answers.empty()) {
      answer = std::move(answers.front());
      answers.pop_front();
    }
    if (!answer) return false;
    buffer.assign(65536, 0xFF);
    std::copy(answer->begin(), answer->end(), buffer.begin());
    replyArrived_ = true;
    return answer->size() > 6;
  }
};

// Connects while `up` holds (or for the first `connects` calls when that is not negative); counts
// Release calls.
class TAlwaysConnected : public TConnectionDevice {
 public:
  bool up = true;
  int connects = -1;
  int releases = 0;
  bool Connect() override {
    if (connects == 0) return false;
    if (connects > 0) --connects;
    return up;
  }
  void Release() override { ++releases; }
};

}  // namespace orvela::test
