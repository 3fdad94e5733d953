// ModBus RTU and M-Bus framings against scripted slaves: known frames, every kind of bad reply, and what the
// link is told.
#include <gtest/gtest.h>

#include "protocols/MBusProtocol.h"
#include "protocols/ModBusProtocol.h"
#include "protocols/ScriptedSlave.h"

namespace orvela {
namespace {

using test::SlaveBytes;
using test::TScriptedSlaveLine;
using test::WithModBusCrc;

constexpr TDateTime kStart = 46000.5;

TEST(ModBusFrames, KnownVectors) {
  EXPECT_EQ(BuildModBusFrame(SlaveBytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A}),
            (SlaveBytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
  EXPECT_EQ(WithModBusCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A}),
            BuildModBusFrame(SlaveBytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A}));
  EXPECT_EQ(BuildMBusFrame(SlaveBytes{0x10, 0x5B, 0x01}), (SlaveBytes{0x10, 0x5B, 0x01, 0x5C, 0x16}));
  // Long frame: the check sum runs from C (the fifth byte) on.
  EXPECT_EQ(BuildMBusFrame(SlaveBytes{0x68, 0x03, 0x03, 0x68, 0x53, 0xFE, 0x50}),
            (SlaveBytes{0x68, 0x03, 0x03, 0x68, 0x53, 0xFE, 0x50, 0xA1, 0x16}));
}

struct TModBusCase {
  const char* name;
  int code;
  SlaveBytes reply;  // without CRC unless rawReply
  bool rawReply;
  int expected;
  SlaveBytes buffer;  // expected start of the buffer
  int failureKind;    // what the link is told; 0: nothing
};

SlaveBytes Corrupt(SlaveBytes frame) {
  frame.back() ^= 0x01;
  return frame;
}

class ModBusReplies : public testing::TestWithParam<TModBusCase> {};

TEST_P(ModBusReplies, OutcomeBufferAndFailureKind) {
  const TModBusCase& c = GetParam();
  ManualClock clock(kStart);
  TScriptedSlaveLine line([&](const SlaveBytes&) { return c.rawReply ? c.reply : WithModBusCrc(c.reply); },
                          clock);
  ModBusProtocol framing;
  framing.SetLink(&line);
  framing.SetRequestPauseMs(0);
  TBytes buffer;
  int outcome = framing.Transact(c.code, SlaveBytes{0x01, 0x03, 0x00, 0x10, 0x00, 0x02}, buffer);
  EXPECT_EQ(outcome, c.expected);
  ASSERT_EQ(buffer.size(), modbus::kTransactBufferSize);
  EXPECT_TRUE(std::equal(c.buffer.begin(), c.buffer.end(), buffer.begin()));
  EXPECT_EQ(buffer[c.buffer.size()], 0xFF) << "nothing past the reply's data";
  EXPECT_EQ(line.failures, c.failureKind == 0 ? std::vector<int>{} : std::vector<int>{c.failureKind});
  EXPECT_EQ(line.releases, 1) << "every transaction releases the link";
}

INSTANTIATE_TEST_SUITE_P(
    Table, ModBusReplies,
    testing::Values(
        TModBusCase{"RegistersLowByteFirst",
                    4,
                    {0x01, 0x03, 0x04, 0x12, 0x34, 0x56, 0x78},
                    false,
                    0,
                    {0x04, 0x34, 0x12, 0x78, 0x56},
                    0},
        TModBusCase{"RegistersInWireOrder",
                    31,
                    {0x01, 0x03, 0x04, 0x12, 0x34, 0x56, 0x78},
                    false,
                    0,
                    {0x04, 0x12, 0x34, 0x56, 0x78},
                    0},
        TModBusCase{"ExceptionReply", 4, {0x01, 0x83, 0x02}, false, 6, {0x02}, 0},
        TModBusCase{"MakerDeviceFailureIsNoAnswer", 4, {0x01, 0x83, 0x04}, false, -2, {}, kFailNoAnswer},
        TModBusCase{
            "BadCrc", 4, Corrupt(WithModBusCrc({0x01, 0x03, 0x02, 0x00, 0x07})), true, -1, {}, kFailNoAnswer},
        TModBusCase{
            "BadCrcOfException", 4, Corrupt(WithModBusCrc({0x01, 0x83, 0x02})), true, -1, {}, kFailNoAnswer},
        TModBusCase{"ShortReply", 4, {0x01, 0x03, 0x04, 0x12}, true, -1, {}, kFailNoAnswer},
        TModBusCase{"Silence", 4, {}, true, -1, {}, kFailNoAnswer},
        TModBusCase{"OtherDevice", 4, {0x02, 0x03, 0x02, 0x00, 0x07}, false, -1, {}, kFailNoAnswer},
        TModBusCase{"OtherFunction", 4, {0x01, 0x04, 0x02, 0x00, 0x07}, false, -1, {}, kFailNoAnswer},
        TModBusCase{"ExceptionOfOtherFunction", 4, {0x01, 0x84, 0x02}, false, -1, {}, kFailNoAnswer},
        TModBusCase{
            "OddRegisterCount", 4, {0x01, 0x03, 0x03, 0x00, 0x07, 0x00}, false, -1, {}, kFailNoAnswer},
        TModBusCase{"CountBeyondAnyFrame",
                    4,
                    [] {
                      SlaveBytes r{0x01, 0x03, 0xFF};
                      r.resize(260, 0x11);
                      return r;
                    }(),
                    true,
                    -1,
                    {},
                    kFailNoAnswer}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModBusFraming, ExceptionReplyToAnyFunction) {
  ManualClock clock(kStart);
  TScriptedSlaveLine line(
      [](const SlaveBytes& f) {
        return WithModBusCrc({f[0], static_cast<uint8_t>(f[1] | 0x80), 0x03});
      },
      clock);
  ModBusProtocol framing;
  framing.SetLink(&line);
  framing.SetRequestPauseMs(0);
  // Whatever the transaction code would keep of a normal reply, an exception leaves its code first.
  for (int code : {4, modbus::kCodeWrite, modbus::kCodeFixedBlock}) {
    for (uint8_t function : {0x01, 0x05, 0x06, 0x10, 0x2B, 0x70}) {
      TBytes buffer;
      EXPECT_EQ(framing.Transact(code, SlaveBytes{0x07, function, 0x00, 0x01, 0x00, 0x01}, buffer), 6)
          << code << "/" << int(function);
      EXPECT_EQ(buffer[0], 0x03);
      EXPECT_EQ(buffer[1], 0xFF) << "the two-byte exception body is not over-read";
    }
  }
  EXPECT_TRUE(line.failures.empty());
}

TEST(ModBusFraming, WriteAndFixedBlockCodes) {
  ManualClock clock(kStart);
  SlaveBytes block{0x01, 0x42};
  for (int i = 0; i < 246; ++i) block.push_back(static_cast<uint8_t>(i));
  TScriptedSlaveLine line(
      [&](const SlaveBytes& f) {
        if (f[1] == 0x10) return WithModBusCrc({0x01, 0x10, 0x00, 0x20, 0x00, 0x02});
        return WithModBusCrc(block);
      },
      clock);
  ModBusProtocol framing;
  framing.SetLink(&line);
  framing.SetRequestPauseMs(0);
  TBytes buffer;
  ASSERT_EQ(framing.Transact(16, SlaveBytes{0x01, 0x10, 0x00, 0x20, 0x00, 0x02, 0x04, 1, 2, 3, 4}, buffer),
            0);
  EXPECT_EQ(SlaveBytes(buffer.begin(), buffer.begin() + 7),
            (SlaveBytes{0x01, 0x10, 0x00, 0x20, 0x00, 0x02, 0xFF}));
  ASSERT_EQ(framing.Transact(66, SlaveBytes{0x01, 0x42, 0x00}, buffer), 0);
  // From the eighth byte of the reply on, as far as it reaches.
  EXPECT_EQ(buffer[0], 5);
  EXPECT_EQ(buffer[240], 245);
  EXPECT_EQ(buffer[241], 0xFF);
}

TEST(ModBusFraming, LinkFailuresAreFailuresAndReleaseTheLink) {
  ManualClock clock(kStart);
  TScriptedSlaveLine line([](const SlaveBytes&) { return SlaveBytes{}; }, clock);
  ModBusProtocol framing;
  framing.SetLink(&line);
  framing.SetRequestPauseMs(0);
  TBytes buffer;
  line.refuseConnect = true;
  EXPECT_EQ(framing.Transact(4, SlaveBytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01}, buffer), -1);
  EXPECT_EQ(line.releases, 1);
  EXPECT_TRUE(line.sent.empty());
  line.refuseConnect = false;
  line.portFailure = true;
  EXPECT_EQ(framing.Transact(4, SlaveBytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01}, buffer), -1);
  EXPECT_EQ(line.releases, 2);
  EXPECT_EQ(line.failures, std::vector<int>{kFailRead});
  EXPECT_EQ(framing.Counters().portFailures, 1);
}

TEST(ModBusFraming, PauseBeforeEveryRequestOnTheClock) {
  ManualClock clock(kStart);
  TScriptedSlaveLine line(
      [](const SlaveBytes&) {
        return WithModBusCrc({0x01, 0x06, 0x00, 0x01, 0x00, 0x05});
      },
      clock);
  ModBusProtocol framing;
  framing.SetLink(&line);
  framing.SetRequestPauseMs(250);
  int64_t before = clock.TickMs();
  TBytes buffer;
  EXPECT_EQ(framing.Transact(4, SlaveBytes{0x01, 0x06, 0x00, 0x01, 0x00, 0x05}, buffer), 0);
  EXPECT_EQ(clock.TickMs() - before, 250);
  EXPECT_EQ(SlaveBytes(buffer.begin(), buffer.begin() + 4), (SlaveBytes{0x00, 0x01, 0x00, 0x05}));
}

// --- M-Bus ---

SlaveBytes LongFrame(SlaveBytes body) {
  SlaveBytes frame{0x68, static_cast<uint8_t>(body.size()), static_cast<uint8_t>(body.size()), 0x68};
  uint8_t sum = 0;
  for (uint8_t b : body) sum = static_cast<uint8_t>(sum + b);
  frame.insert(frame.end(), body.begin(), body.end());
  frame.push_back(sum);
  frame.push_back(0x16);
  return frame;
}

struct TMBusCase {
  const char* name;
  SlaveBytes reply;
  int expected;
};

class MBusReplies : public testing::TestWithParam<TMBusCase> {};

TEST_P(MBusReplies, CheckSumAndStopByteDecide) {
  const TMBusCase& c = GetParam();
  ManualClock clock(kStart);
  TScriptedSlaveLine line([&](const SlaveBytes&) { return c.reply; }, clock);
  MBusProtocol framing;
  framing.SetLink(&line);
  TBytes buffer;
  EXPECT_EQ(framing.Transact(0, SlaveBytes{0x10, 0x5B, 0x01}, buffer), c.expected);
  ASSERT_EQ(line.sent.size(), 1u);
  EXPECT_EQ(line.sent[0], (SlaveBytes{0x10, 0x5B, 0x01, 0x5C, 0x16}));
  if (c.expected == 0) {
    EXPECT_EQ(buffer, c.reply);
  }
  EXPECT_EQ(line.releases, 1);
}

SlaveBytes WithByte(SlaveBytes frame, size_t at, uint8_t value) {
  frame[at] = value;
  return frame;
}

const SlaveBytes kRsp = LongFrame({0x08, 0x01, 0x72, 0x78, 0x56, 0x34, 0x12, 0x24, 0x40, 0x01, 0x07});

INSTANTIATE_TEST_SUITE_P(Table, MBusReplies,
                         testing::Values(TMBusCase{"Acknowledge", {0xE5}, 0}, TMBusCase{"LongFrame", kRsp, 0},
                                         TMBusCase{"BadCheckSum", WithByte(kRsp, kRsp.size() - 2, 0), -1},
                                         TMBusCase{"NoStopByte", WithByte(kRsp, kRsp.size() - 1, 0x17), -1},
                                         TMBusCase{"LengthsDisagree", WithByte(kRsp, 2, 0x0C), -1},
                                         TMBusCase{"ShortFrame", {0x10, 0x08, 0x01, 0x09, 0x16}, 0},
                                         TMBusCase{"ShortFrameBadSum", {0x10, 0x08, 0x01, 0x0A, 0x16}, -1},
                                         TMBusCase{"Truncated", {0x68, 0x0B, 0x0B, 0x68, 0x08}, -1},
                                         TMBusCase{"Silence", {}, -1}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvela
