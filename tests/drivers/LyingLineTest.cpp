// A line scan (device list, identification, serial number) against meters that lie, through the real TCP
// link and XModem framing: every scan gives up within its bound, with the right failure, and names no
// device the line did not prove.
#include <gtest/gtest.h>

#include <functional>

#include "drivers/SimLine.h"

namespace orvela {
namespace {

// The scan of a dead or lying line must end within about two minutes of protocol time.
constexpr int64_t kScanBoundMs = 120'000;

struct TFound {
  int address;
  int model;
  std::string serial;  // empty when refused
  friend bool operator==(const TFound&, const TFound&) = default;
  friend void PrintTo(const TFound& f, std::ostream* os) {
    *os << "{" << f.address << ", " << f.model << ", \"" << f.serial << "\"}";
  }
};

struct TScanOutcome {
  bool listed = false;
  std::string error;  // what the device list raised
  std::vector<TFound> found;
  int64_t spentMs = 0;
};

class LyingLine : public test::TSimLineTest {
 protected:
  LyingLine() : TSimLineTest({{"tarvel2001", 1, "12345678"}, {"tarvelf", 2, "87654321"}}) {}

  // Closes the link's socket; the next exchange connects afresh (and the meter's session ends).
  void Reconnect() {
    link->SetHoldMark(true);
    link->Release();
    link->SetHoldMark(false);
  }

  // The scan as orvelactl runs it: the list, then for each listed address its model and serial number.
  TScanOutcome Scan() {
    TScanOutcome out;
    int64_t start = clock.TickMs();
    auto scan = TTarvelFactory::CreateScanModel(key.ProtType, link.get(), nullptr, {});
    TTarvelDataModel family(TTarvelFactory::CreateFraming(key.ProtType, nullptr), nullptr, link.get());
    TRListData list;
    try {
      out.listed = scan->ReadDeviceList(list);
    } catch (const ETarvelException& e) {
      out.error = e.what();
    }
    for (uint8_t address : list.Ids) {
      uint8_t model = 0;
      if (!scan->IdentifyDevice(address, model) || model == 0) continue;
      std::string serial;
      if (!family.ReadSerialNumber(address, serial)) serial.clear();
      out.found.push_back({address, model, serial});
    }
    out.spentMs = clock.TickMs() - start;
    return out;
  }
};

struct TLie {
  const char* what;
  bool onLine;  // the whole line lies; otherwise only the Tarvel 2001 at address 1
  std::function<void(sim::TFaults&)> fault;
  bool listed;
  const char* error;
  std::vector<TFound> found;
  // A meter that goes on sending after the host gave up may spoil the other meter's exchanges too: then
  // only some of `found` may come back, never anything else.
  bool othersMayBeLost = false;
};

TEST_F(LyingLine, EveryLieEndsWithinItsBoundAndInventsNoDevice) {
  const TFound f2{2, mcTarvelF, "87654321"};
  const TLie lies[] = {
      // The F meter refuses the model question in six bytes: that refusal is what names it.
      {"honest line, short refusal from the F meter",
       true,
       [](sim::TFaults&) {},
       true,
       "",
       {{1, mcTarvel2001, "12345678"}, f2}},
      {"block 1 resent forever", true, [](sim::TFaults& f) { f.resendForever = -1; }, false, "", {}},
      {"one byte a second", true, [](sim::TFaults& f) { f.dripMs = 1000; }, false, "", {}},
      {"answer code swapped",
       true,
       [](sim::TFaults& f) { f.wrongCode = -1; },
       false,
       "Ошибка получения списка приборов",
       {}},
      {"another device's address echoed",
       false,
       [](sim::TFaults& f) { f.wrongAddress = -1; },
       true,
       "",
       {f2}},
      {"answer codes swapped by one meter", false, [](sim::TFaults& f) { f.wrongCode = -1; }, true, "", {f2}},
      {"serial of control and high bytes",
       false,
       [](sim::TFaults& f) {
         f.serial =
             "\x01\x02\xFF\x7F"
             "1234";
       },
       true,
       "",
       {{1, mcTarvel2001, ""}, f2}},
      {"one meter resends block 1 forever",
       false,
       [](sim::TFaults& f) { f.resendForever = -1; },
       true,
       "",
       {f2},
       true},
      {"one meter drips its answers", false, [](sim::TFaults& f) { f.dripMs = 1000; }, true, "", {f2}, true},
  };
  for (const TLie& lie : lies) {
    SCOPED_TRACE(lie.what);
    line.Faults().Set({});
    line.FindDevice(1)->Faults().Set({});
    (lie.onLine ? line.Faults() : line.FindDevice(1)->Faults()).Update(lie.fault);
    // A meter that lies forever goes on after its exchange was given up: each case on a fresh connection.
    Reconnect();
    TScanOutcome out = Scan();
    EXPECT_EQ(out.listed, lie.listed);
    EXPECT_EQ(out.error, lie.error);
    if (lie.othersMayBeLost) {
      for (const TFound& f : out.found)
        EXPECT_NE(std::find(lie.found.begin(), lie.found.end(), f), lie.found.end()) << f.address;
    } else {
      EXPECT_EQ(out.found, lie.found);
    }
    EXPECT_LE(out.spentMs, kScanBoundMs);
    std::cout << "[ scan time ] " << lie.what << ": " << out.spentMs / 1000 << " s\n";
  }
}

TEST_F(LyingLine, GarbageWithGoodCheckSumsNamesNoDevice) {
  // Random payloads: whatever they happen to hold, none is taken for a list, a model or a serial.
  for (int round = 0; round < 5; ++round) {
    line.Faults().Set({});
    line.Faults().Update([](sim::TFaults& f) { f.garbage = -1; });
    Reconnect();
    TScanOutcome out = Scan();
    EXPECT_TRUE(out.found.empty()) << round;
    EXPECT_LE(out.spentMs, kScanBoundMs) << round;
  }
}

}  // namespace
}  // namespace orvela
