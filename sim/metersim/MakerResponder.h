#pragma once
// The maker's meters on one line: one XModem device side in front of all of them (the meters share the
// line behind one adapter, so the block hand-shake belongs to the line), each request routed by the
// address in its path; the scan (a path without address) is answered by the line with its addresses.
#include <map>
#include <memory>

#include "metersim/Responder.h"
#include "metersim/TarvelDevice.h"

namespace orvela::sim {

class TMakerResponder : public TResponder {
 public:
  std::string_view Protocol() const override { return kMakerProtocol; }
  bool AddDevice(std::shared_ptr<TSimDevice> device) override;
  TSimDevice* FindDevice(uint8_t address) const override;
  std::unique_ptr<TResponderSession> OpenSession(TSessionContext& context) override;

  const TTarvelDevice* Find(uint8_t address) const;
  std::vector<uint8_t> Addresses() const;

 private:
  std::map<uint8_t, std::shared_ptr<TTarvelDevice>> devices_;
};

}  // namespace orvela::sim
