#include <gtest/gtest.h>

#include <atomic>
#include <numeric>

#include "protocols/ScriptedMeter.h"
#include "protocols/XModemProtocol.h"

// Scripts name only the fields a case changes; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace orvela {
namespace {

using test::Bytes;
using test::TMeterScript;
using test::TScriptedMeterLine;
using Kind = TMemoryChannelLog::Kind;

TEST(XModemCrc, CheckValueAndBlockLayout) {
  const std::string digits = "123456789";
  EXPECT_EQ(Crc16Xmodem(std::span(reinterpret_cast<const uint8_t*>(digits.data()), digits.size())), 0x31C3);

  Bytes data(130);
  std::iota(data.begin(), data.end(), uint8_t{0});
  struct Case {
    size_t length;
  } cases[] = {{5}, {128}, {130}};
  for (auto [length] : cases) {
    Bytes block = BuildXModemBlock(1, std::span(data).first(length));
    ASSERT_EQ(block.size(), 133u) << length;
    EXPECT_EQ(block[0], 0x01);
    EXPECT_EQ(block[1], 1);
    EXPECT_EQ(block[2], 0xFE);
    for (size_t i = 0; i < 128; ++i)
      EXPECT_EQ(block[3 + i], i < length ? data[i] : 0x1A) << length << " " << i;
    EXPECT_EQ(block[131] << 8 | block[132], test::MeterCrc(block.data() + 3, 128)) << length;
    // The receiver's check: data and CRC through the register end at 0.
    TCrc16Xmodem check;
    check.Feed(std::span(block).subspan(3, 130));
    EXPECT_EQ(check.Value(), 0) << length;
  }
}

// A reply payload: 4-byte header whose bytes 2-3 declare the length after it, then a pattern.
Bytes MakeReply(size_t declared, size_t actualPayload = SIZE_MAX) {
  if (actualPayload == SIZE_MAX) actualPayload = declared;
  Bytes r{0x5A, 0x01, static_cast<uint8_t>(declared & 0xFF), static_cast<uint8_t>(declared >> 8)};
  for (size_t i = 0; i < actualPayload; ++i) r.push_back(static_cast<uint8_t>(i * 31 + 7));
  return r;
}

class XModemExchange : public ::testing::Test {
 protected:
  bool Run(TMeterScript script, Bytes request = Bytes{0x10, 0x20, 0x30}) {
    line = std::make_unique<TScriptedMeterLine>(std::move(script), clock);
    line->SetOrder(&log);
    framing.SetLink(line.get());
    return framing.Request(request, buffer);
  }

  ManualClock clock{45000.0};
  TMemoryChannelLog log{true};
  std::unique_ptr<TScriptedMeterLine> line;
  XModemProtocol framing;
  TBytes buffer;
};

TEST_F(XModemExchange, MultiBlockReplyFillsTheBufferUpToTheDeclaredLength) {
  Bytes reply = MakeReply(300);  // 304 bytes: three blocks, the last one padded
  ASSERT_TRUE(Run({.reply = reply}));
  ASSERT_EQ(buffer.size(), xmodem::kReplyBufferSize);
  EXPECT_TRUE(std::equal(reply.begin(), reply.end(), buffer.begin()));
  EXPECT_TRUE(std::all_of(buffer.begin() + 304, buffer.end(), [](uint8_t b) { return b == 0xFF; }));
  ASSERT_EQ(line->requestBlocks.size(), 1u);
  Bytes padded{0x10, 0x20, 0x30};
  padded.resize(128, 0x1A);
  EXPECT_EQ(line->requestBlocks[0], padded);
  EXPECT_EQ(framing.Counters().successes, 1);
  EXPECT_EQ(framing.ReceiveStatus(), "Успешно");
  EXPECT_TRUE(log.Contains(Kind::Line, "XModem. Запрос № "));
}

TEST_F(XModemExchange, RequestBlockIsPaddedOrCutToOneBlock) {
  for (size_t length : {size_t{1}, size_t{128}, size_t{200}}) {
    Bytes request(length);
    std::iota(request.begin(), request.end(), uint8_t{1});
    log.Clear();
    ASSERT_TRUE(Run({.reply = MakeReply(10)}, request)) << length;
    ASSERT_EQ(line->requestBlocks.size(), 1u);
    Bytes expected(request.begin(), request.begin() + std::min<size_t>(length, 128));
    expected.resize(128, 0x1A);
    EXPECT_EQ(line->requestBlocks[0], expected) << length;
    EXPECT_EQ(log.Contains(Kind::Line, "обрезан до 128"), length > 128) << length;
  }
}

TEST_F(XModemExchange, BlockNumbersWrapAfter255) {
  Bytes reply = MakeReply(300 * 128 - 4);  // 300 blocks
  ASSERT_TRUE(Run({.reply = reply}));
  EXPECT_TRUE(std::equal(reply.begin(), reply.end(), buffer.begin()));
}

struct FaultCase {
  const char* name;
  TMeterScript script;
  bool succeeds;
  const char* logged;  // text the channel log must hold ("" for none)
  int reportedKind;    // failure kind the link was told (0: none)
  friend void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }
};

class XModemFaults : public XModemExchange, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(XModemFaults, OutcomeMatchesTheLine) {
  const FaultCase& c = GetParam();
  TMeterScript script = c.script;
  if (script.reply.empty()) script.reply = MakeReply(300);
  const Bytes reply = script.reply;
  bool ok = Run(script);
  EXPECT_EQ(ok, c.succeeds);
  if (ok) {
    EXPECT_TRUE(std::equal(reply.begin(), reply.end(), buffer.begin()));
  }
  if (*c.logged) {
    EXPECT_TRUE(log.Contains(Kind::Line, c.logged)) << c.logged;
  }
  EXPECT_EQ(line->reported, c.reportedKind ? std::vector<int>{c.reportedKind} : std::vector<int>{});
  EXPECT_EQ(framing.Counters().requests, 1);
  EXPECT_EQ(framing.Counters().successes, ok ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, XModemFaults,
    ::testing::Values(FaultCase{"BadCrcIsNakedAndResent", {.badCrcBlock = 2}, true, "", 0},
                      FaultCase{"RepeatedBlockIsAckedAndDropped", {.repeatBlock = 1}, true, "", 0},
                      FaultCase{"SlowReadySign", {.firstCAtMs = 3000}, true, "", 0},
                      FaultCase{"VerySlowReadySignAfterNudges", {.firstCAtMs = 30000}, true, "", 0},
                      FaultCase{"WrongBlockNumber",
                                {.wrongNumberBlock = 2},
                                false,
                                "неверный номер блока 7 вместо 2",
                                kFailNoAnswer},
                      FaultCase{"StrayByteForEot",
                                {.sendEot = false, .junkForEot = true},
                                false,
                                "Ошибка окончания блока - неверное окончание блока",
                                kFailNoAnswer},
                      FaultCase{"SilenceForEot",
                                {.sendEot = false},
                                false,
                                "Ошибка обмена - истекло время обмена",
                                kFailNoAnswer},
                      FaultCase{"NoReadySign",
                                {.firstCAtMs = -1},
                                false,
                                "Ошибка передачи блока - нет байта ожидания",
                                kFailWrite},
                      FaultCase{"RequestNeverAcknowledged",
                                {.refuseRequest = true},
                                false,
                                "Ошибка передачи блока - блок не подтвержден",
                                kFailWrite},
                      FaultCase{"NoReplyBlock",
                                {.silentAfterRequest = true, .pollMs = 5},
                                false,
                                "Ошибка ожидания блока  - нет начала блока",
                                kFailNoAnswer},
                      FaultCase{"MeterFallsBackToWaiting",
                                {.waitingBlock = 2},
                                false,
                                "Ошибка приема блока  - прибор в режием ожидания",
                                kFailNoAnswer},
                      FaultCase{
                          "PeerClosesMidReply", {.closeInBlock = 2}, false, "Обрыв соединения", kFailRead},
                      FaultCase{"ReplyShorterThanDeclared",
                                {.reply = MakeReply(400, 200)},
                                false,
                                "Ошибка приема - расхождение заявленной и полученной длинны",
                                kFailNoAnswer},
                      FaultCase{"DeclaredLengthBeyondBuffer",
                                {.reply = MakeReply(0xFFFF, 200)},
                                false,
                                "Ошибка приема - заявленная длина больше буфера",
                                kFailNoAnswer},
                      FaultCase{"ReplyLongerThanDeclared",
                                {.reply = MakeReply(10, 300)},
                                false,
                                "Ошибка приема - ответ длиннее заявленной длины",
                                kFailNoAnswer},
                      FaultCase{"BlockResentForever",
                                {.resendForever = true},
                                false,
                                "Ошибка приема блока - блок повторяется",
                                kFailNoAnswer},
                      FaultCase{"DrippingMeter",
                                {.reply = MakeReply(10), .dripMs = 1000},
                                false,
                                "Ошибка обмена - истекло время обмена",
                                kFailNoAnswer},
                      FaultCase{"PortFailure", {.portFailure = true}, false, "Ошибка порта", kFailRead}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(XModemExchange, ResentBlockIsAcknowledgedOnlyAFewTimes) {
  EXPECT_FALSE(Run({.reply = MakeReply(10), .resendForever = true}));
  // The first sending and three repeats; the fourth repeat ends the exchange unacknowledged.
  EXPECT_EQ(std::count(line->sent.begin(), line->sent.end(), Bytes{xmodem::kAck}),
            1 + xmodem::kMaxBlockRepeats);
  EXPECT_LT(clock.TickMs(), xmodem::kExchangeFloorMs);
}

TEST_F(XModemExchange, ExchangeDeadlineFollowsTheDeclaredReplySize) {
  // A steady meter with a long reply: 300 blocks, 400 ms each, run well past the floor.
  Bytes reply = MakeReply(300 * 128 - 4);
  ASSERT_TRUE(Run({.reply = reply, .blockGapMs = 400}));
  EXPECT_GT(clock.TickMs(), xmodem::kExchangeFloorMs);
  EXPECT_TRUE(std::equal(reply.begin(), reply.end(), buffer.begin()));

  // A meter that drips its one-block reply is cut at the bound of a one-block exchange, whatever the
  // per-byte waits would allow.
  int64_t start = clock.TickMs();
  EXPECT_FALSE(Run({.reply = MakeReply(10), .dripMs = 1000}));
  int64_t spent = clock.TickMs() - start;
  EXPECT_GE(spent, XModemExchangeBudgetMs(2, 0));
  EXPECT_LE(spent, XModemExchangeBudgetMs(2, 0) + 2'000);  // at most one poll past it
  EXPECT_EQ(framing.ReceiveStatus(), "Ошибка обмена - истекло время обмена");

  // A slow line stretches the bound.
  TConnSettings slow;
  slow.BaudRate = 300;
  EXPECT_GT(XModemExchangeBudgetMs(2, slow.BaudRate), XModemExchangeBudgetMs(2, 9600));
  EXPECT_EQ(XModemExchangeBudgetMs(2, 5), XModemExchangeBudgetMs(2, 9600));  // minutes, not a speed
}

TEST_F(XModemExchange, EveryRefusedRequestBlockIsRetriedAndNoEotFollows) {
  EXPECT_FALSE(Run({.refuseRequest = true}));
  EXPECT_EQ(line->requestBlocks.size(), 10u);
  EXPECT_FALSE(line->SawChunk({xmodem::kEot}));
  EXPECT_EQ(framing.SendStatus(), "Ошибка передачи блока - блок не подтвержден");
  EXPECT_EQ(framing.Counters().writeFailures, 1);
}

TEST_F(XModemExchange, SlowReadySignIsFetchedWithAckNakNudges) {
  ASSERT_TRUE(Run({.firstCAtMs = 30000, .reply = MakeReply(10)}));
  EXPECT_TRUE(line->SawChunk({xmodem::kAck, xmodem::kNak}));
}

TEST_F(XModemExchange, BadBlockIsNakedAndAFailedEndReleasesTheHeldLink) {
  ASSERT_TRUE(Run({.reply = MakeReply(300), .badCrcBlock = 3}));
  EXPECT_TRUE(line->SawChunk({xmodem::kNak}));
  EXPECT_EQ(line->releasedHeld, 0);
  EXPECT_FALSE(Run({.reply = MakeReply(10), .sendEot = false}));
  EXPECT_EQ(line->releasedHeld, 1);
  EXPECT_FALSE(line->HoldMark());
}

TEST_F(XModemExchange, PortFailureBeforeAnyByteMarksNoDevice) {
  EXPECT_FALSE(Run({.portFailure = true}));
  EXPECT_EQ(framing.ResultCode(), -2);
  EXPECT_EQ(framing.Counters().portFailures, 1);
}

class RecordingJournal : public IExchangeJournal {
 public:
  struct Entry {
    std::string connection, device, result;
    Bytes bytes;
    int direction;
  };
  void DebugTrace(const std::string& connection, const std::string& device, const TBytes& bytes,
                  int direction, const std::string& result, TDateTime, TDateTime) override {
    entries.push_back({connection, device, result, bytes, direction});
  }
  std::vector<Entry> entries;
};

TEST_F(XModemExchange, ExchangeJournalGetsTheRequestAndTheReplyWhenSent) {
  RecordingJournal journal;
  SetExchangeJournal(&journal);
  framing.SetDeviceIdentity("00012345");
  Bytes reply = MakeReply(10);
  bool ok = Run({.reply = reply});
  bool failed = Run({.firstCAtMs = -1});
  SetExchangeJournal(nullptr);
  ASSERT_TRUE(ok);
  EXPECT_FALSE(failed);
  ASSERT_EQ(journal.entries.size(), 3u);  // request and reply, then only the request that was not sent
  EXPECT_EQ(journal.entries[0].direction, 0);
  EXPECT_EQ(journal.entries[0].bytes, (Bytes{0x10, 0x20, 0x30}));
  EXPECT_EQ(journal.entries[0].device, "00012345");
  EXPECT_EQ(journal.entries[1].direction, 1);
  EXPECT_EQ(journal.entries[1].result, "Успешно");
  EXPECT_TRUE(std::equal(reply.begin(), reply.end(), journal.entries[1].bytes.begin()));
  EXPECT_EQ(journal.entries[2].direction, 0);
  EXPECT_EQ(journal.entries[2].result, "Ошибка передачи блока - нет байта ожидания");
}

TEST_F(XModemExchange, ShutdownEndsTheWaitQuietly) {
  std::atomic<bool> shutdown{true};
  framing.SetShutdownFlag(&shutdown);
  RecordingJournal journal;
  SetExchangeJournal(&journal);
  bool ok = Run({.firstCAtMs = -1});
  SetExchangeJournal(nullptr);
  EXPECT_FALSE(ok);
  EXPECT_TRUE(journal.entries.empty());
  EXPECT_TRUE(line->reported.empty());
  EXPECT_LT(clock.TickMs(), 1000);  // no protocol time-out was waited out
}

}  // namespace
}  // namespace orvela
