// Decoding of hand-built answers: values, dates, lists and archive rings, and answers whose counts or
// positions point past what the device sent.
#include "drivers/TarvelDecode.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>

#include "drivers/AnswerBuilder.h"

namespace orvela {
namespace {

using test::InFramingBuffer;
using test::MakeAnswer;
using test::TAnswerBody;

TEST(TarvelDecode, FloatsAreBigEndianAndNanBecomesZero) {
  struct Case {
    std::array<uint8_t, 4> bytes;
    float expected;
  };
  const Case cases[] = {
      {{0x41, 0x20, 0x00, 0x00}, 10.0f},
      {{0xC0, 0x00, 0x00, 0x00}, -2.0f},
      {{0x7F, 0xC0, 0x00, 0x00}, 0.0f},  // NaN
      {{0xFF, 0xFF, 0xFF, 0xFF}, 0.0f},  // NaN as well
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeFloatBE(c.bytes), c.expected);
}

TEST(TarvelDecode, StatusFlagsAreRemapped) {
  const std::pair<uint8_t, int32_t> cases[] = {
      {0x81, 0x18}, {0x0E, 0x01}, {0x01, 0x10}, {0x02, 0x01}, {0x80, 0x08}, {0x70, 0x00}, {0xFF, 0x19},
  };
  for (auto [in, out] : cases) EXPECT_EQ(RemapStatus(in), out) << int(in);
}

TEST(TarvelDecode, CenturyRuleDiffersBetweenArchiveClockAndTimerDates) {
  // Year byte 91: 1991 in archive dates and the clock, 2091 in a timer date value.
  auto timerLike = TAnswerBody(19).Put(13, {91, 3, 4, 5, 6, 7}).Answer(kAnswerData);
  EXPECT_EQ(DecodeClockBlock(TAnswer(timerLike)), EncodeDateTime(1991, 3, 4, 5, 6, 7));
  EXPECT_EQ(DecodeTimerDate(TAnswer(timerLike)), EncodeDateTime(2091, 3, 4, 5, 6, 7));

  auto archive = TAnswerBody(18).Put(11, {0, 1, 91, 3, 4, 5, 6}).Answer(kAnswerData);
  TAnswer reply(archive);
  auto block = ArchiveBlockHead(reply, 12);
  ASSERT_TRUE(block && ArchiveBlockFits(reply, *block, kDateRecordSize));
  EXPECT_EQ(DecodeDateArray(reply, *block, false).Items.at(0).TimeStamp, EncodeDateTime(1991, 3, 4, 5, 6));
}

TEST(TarvelDecode, MinutesAboveRangeCountAsZeroAndImpossibleDatesAreRefused) {
  auto minute60 = TAnswerBody(19).Put(13, {24, 2, 29, 10, 60, 61}).Answer(kAnswerData);
  EXPECT_EQ(DecodeClockBlock(TAnswer(minute60)), EncodeDateTime(2024, 2, 29, 10, 0, 0));
  const std::array<std::array<uint8_t, 6>, 4> impossible = {{
      {23, 2, 29, 10, 0, 0},  // no 29 February
      {24, 13, 1, 0, 0, 0},   // month 13
      {24, 1, 1, 24, 0, 0},   // hour 24
      {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
  }};
  for (const auto& fields : impossible) {
    TAnswerBody body(19);
    body.Put(13, {fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]});
    EXPECT_FALSE(DecodeClockBlock(TAnswer(body.Answer(kAnswerData))));
  }
}

TEST(TarvelDecode, AnswerLengthComesFromTheHeaderAndIsBounded) {
  auto answer = MakeAnswer(kAnswerData, {1, 2, 3});
  EXPECT_EQ(AnswerLength(InFramingBuffer(answer)), 7u);
  // A header declaring more than the buffer holds is cut to the buffer.
  std::vector<uint8_t> lying{0, 8, 0xFF, 0xFF, 1};
  EXPECT_EQ(AnswerLength(lying), lying.size());
  EXPECT_EQ(AnswerLength(std::vector<uint8_t>{0, 8, 1}), 0u);
}

TEST(TarvelDecode, ValuesNeverComeFromTheBufferFill) {
  // The answers stop short of their blocks; the framing's buffer holds 0xFF behind them.
  auto current = InFramingBuffer(TAnswerBody(16).Put(12, {1, 0x00, 0x41, 0x20}).Answer(kAnswerData));
  TPrbArray result;
  EXPECT_FALSE(DecodeCurrentBlock(TAnswer::InBuffer(current), result));
  EXPECT_TRUE(result.Items.empty());

  auto serial =
      InFramingBuffer(TAnswerBody(20).Put(13, {'1', '2', '3', '4', '5', '6', '7'}).Answer(kAnswerData));
  EXPECT_FALSE(DecodeSerial(TAnswer::InBuffer(serial)));

  auto clock = InFramingBuffer(TAnswerBody(18).Put(13, {24, 1, 2, 3, 4}).Answer(kAnswerData));
  EXPECT_FALSE(DecodeClockBlock(TAnswer::InBuffer(clock)));
  EXPECT_FALSE(DecodeTimerStatus(TAnswer::InBuffer(InFramingBuffer(MakeAnswer(kAnswerData, {})))));
}

TEST(TarvelDecode, CurrentBlockAndSerial) {
  auto current = TAnswerBody(18).Put(12, {1, 0x81, 0x41, 0x20, 0x00, 0x00}).Answer(kAnswerData);
  TPrbArray result;
  ASSERT_TRUE(DecodeCurrentBlock(TAnswer(current), result));
  EXPECT_EQ(result.Count, 1);
  ASSERT_EQ(result.Items.size(), 2u);
  EXPECT_EQ(result.Items[0].Value, TVariant::Single(10.0f));
  EXPECT_EQ(result.Items[0].ValueQuality, kQualityGood);
  EXPECT_EQ(result.Items[1].Value, TVariant::Int(0x18));

  auto serial = TAnswerBody(21).Put(13, {'1', '2', '3', '4', '5', '6', '7', '8'}).Answer(kAnswerData);
  EXPECT_EQ(DecodeSerial(TAnswer(serial)), "12345678");
  // A garbled line's control and high bytes name no serial number.
  for (uint8_t bad : {0x00, 0x1F, 0x7F, 0xFF, 0xC0}) {
    auto garbled = TAnswerBody(21).Put(13, {'1', '2', '3', bad, '5', '6', '7', '8'}).Answer(kAnswerData);
    EXPECT_EQ(DecodeSerial(TAnswer(garbled)), std::nullopt) << int(bad);
  }
}

TEST(TarvelDecode, AnswerMustEchoTheRequestsAddressAndPath) {
  const std::vector<uint8_t> request = {5, 3, 7, 1, 26, 0};  // k, mark, address 7, ids 1 26 0
  struct Case {
    const char* what;
    std::vector<uint8_t> answer;
    bool echoes;
  } cases[] = {
      {"whole path echoed", TAnswerBody(13).Put(4, {5, 3, 7, 1, 26, 0}).Answer(kAnswerData), true},
      {"another address", TAnswerBody(13).Put(4, {5, 3, 8, 1, 26, 0}).Answer(kAnswerData), false},
      {"another parameter", TAnswerBody(13).Put(4, {5, 3, 7, 1, 26, 1}).Answer(kAnswerData), false},
      {"no path mark", TAnswerBody(13).Put(4, {5, 0, 7, 1, 26, 0}).Answer(kAnswerData), false},
      // A shorter echo compares what it holds (the address always).
      {"echo of mark and address", TAnswerBody(13).Put(4, {2, 3, 7, 9, 9, 9}).Answer(kAnswerData), true},
      {"short echo, wrong address", TAnswerBody(13).Put(4, {2, 3, 6}).Answer(kAnswerData), false},
      {"lists echo nothing", MakeAnswer(kAnswerBranchList, {5, 1, 9, 0}), true},
      {"too short to echo", MakeAnswer(3, {5, 0}), true},
  };
  for (const Case& c : cases) EXPECT_EQ(EchoesRequest(TAnswer(c.answer), request), c.echoes) << c.what;
}

TEST(TarvelDecode, IdListCountMustFitTheAnswer) {
  TRListData list;
  auto good = MakeAnswer(kAnswerBranchList, {0, 2, 0x01, 0x00, 0x11, 0x01});
  ASSERT_TRUE(DecodeIdList(TAnswer(good), list));
  EXPECT_EQ(list.Count, 2);
  EXPECT_EQ(list.Ids, (std::vector<uint8_t>{0x01, 0x11}));
  EXPECT_EQ(list.Flags, (std::vector<uint8_t>{0x00, 0x01}));

  // Three pairs claimed, two and a half sent: the fill must not become a third child.
  auto lying = InFramingBuffer(MakeAnswer(kAnswerBranchList, {0, 3, 0x01, 0x00, 0x11, 0x01, 0x1A}));
  EXPECT_FALSE(DecodeIdList(TAnswer::InBuffer(lying), list));
  EXPECT_EQ(list.Count, 0);
  EXPECT_TRUE(list.Ids.empty());
  EXPECT_FALSE(DecodeIdList(TAnswer(MakeAnswer(kAnswerBranchList, {0})), list));
}

// An archive column answer: path echo, newest position at 11, count at 12, records from 13.
std::vector<uint8_t> ArchiveAnswer(uint8_t newest, uint8_t count, size_t recordSize,
                                   const std::function<std::vector<uint8_t>(size_t)>& record) {
  std::vector<uint8_t> body{5, 3, 1, 1, 26, 0, 0, newest, count};
  for (size_t r = 0; r < count; ++r) {
    auto bytes = record(r);
    EXPECT_EQ(bytes.size(), recordSize);
    body.insert(body.end(), bytes.begin(), bytes.end());
  }
  return MakeAnswer(kAnswerData, body);
}

std::vector<uint8_t> FloatBE(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, 4);
  return {uint8_t(bits >> 24), uint8_t(bits >> 16), uint8_t(bits >> 8), uint8_t(bits)};
}

TEST(TarvelDecode, WrappedRingIsReadOldestFirstWithTheDatesOfTheSamePositions) {
  constexpr uint8_t kNewest = 5, kCount = 24;
  // Position r was written at hour r of 2 March 2024; the value of position r is r + 0.5.
  auto dates = ArchiveAnswer(kNewest, kCount, kDateRecordSize, [](size_t r) {
    return std::vector<uint8_t>{24, 3, 2, uint8_t(r), 0};
  });
  auto values = ArchiveAnswer(kNewest, kCount, kValueRecordSize, [](size_t r) {
    auto v = FloatBE(float(r) + 0.5f);
    v.push_back(0xAA);  // check byte, not examined
    return v;
  });
  TAnswer dateReply(dates), valueReply(values);
  auto dateBlock = ArchiveBlockHead(dateReply, 12);
  auto valueBlock = ArchiveBlockHead(valueReply, 12);
  ASSERT_TRUE(dateBlock && valueBlock);
  ASSERT_TRUE(ArchiveBlockFits(dateReply, *dateBlock, kDateRecordSize));
  ASSERT_TRUE(ArchiveBlockFits(valueReply, *valueBlock, kValueRecordSize));
  TPrbArray dateArray = DecodeDateArray(dateReply, *dateBlock, false);
  EXPECT_EQ(dateArray.NewestIndex, kNewest);
  EXPECT_EQ(dateArray.Count, kCount);

  TPrbArray result;
  EXPECT_TRUE(DecodeArchiveValues(valueReply, *valueBlock, dateArray, false, result));
  ASSERT_EQ(result.Count, kCount);
  for (size_t i = 0; i < kCount; ++i) {
    size_t position = (kNewest + 1 + i) % kCount;  // 6 … 23, then 0 … 5
    EXPECT_EQ(result.Items[i].Value, TVariant::Single(float(position) + 0.5f)) << i;
    EXPECT_EQ(result.Items[i].TimeStamp, EncodeDateTime(2024, 3, 2, int(position), 0)) << i;
    EXPECT_EQ(result.Items[i].TimeQuality, kQualityGood);
    EXPECT_EQ(result.Items[i].ValueQuality, kQualityGood);
  }
}

TEST(TarvelDecode, RingIndexesAreCheckedAgainstTheAnswer) {
  auto record = [](size_t) { return std::vector<uint8_t>{24, 1, 1, 0, 0}; };
  struct Case {
    const char* what;
    std::vector<uint8_t> answer;
    bool headThere;
    bool fits;
  };
  auto fourRecords = ArchiveAnswer(3, 4, kDateRecordSize, record);
  auto newestOutside = ArchiveAnswer(4, 4, kDateRecordSize, record);
  auto countTooBig = fourRecords;
  countTooBig[12] = 5;  // five records claimed, four sent
  auto cut = fourRecords;
  cut.resize(cut.size() - 1);
  cut[2] = uint8_t(cut.size() - 4);  // the last record lost its last byte
  const Case cases[] = {
      {"four records", fourRecords, true, true},
      {"newest position past the count", newestOutside, true, false},
      {"count past the answer", countTooBig, true, false},
      {"last record cut", cut, true, false},
      {"no block at all", MakeAnswer(kAnswerData, {5, 3, 1, 1, 26, 0, 0}), false, false},
  };
  for (const Case& c : cases) {
    auto buffer = InFramingBuffer(c.answer);
    TAnswer reply = TAnswer::InBuffer(buffer);
    auto block = ArchiveBlockHead(reply, 12);
    EXPECT_EQ(block.has_value(), c.headThere) << c.what;
    if (block) {
      EXPECT_EQ(ArchiveBlockFits(reply, *block, kDateRecordSize), c.fits) << c.what;
    }
  }
}

TEST(TarvelDecode, UnwrittenArchiveIsEmpty) {
  auto unwritten =
      ArchiveAnswer(0, 24, kValueRecordSize, [](size_t) { return std::vector<uint8_t>(5, 0xFF); });
  TAnswer reply(unwritten);
  EXPECT_FALSE(ArchiveHasData(reply, *ArchiveBlockHead(reply, 12)));
  // A count with nothing behind it: the fill after the answer is no data either.
  auto bare = InFramingBuffer(MakeAnswer(kAnswerData, {5, 3, 1, 1, 26, 0, 0, 0, 24}));
  TAnswer bareReply = TAnswer::InBuffer(bare);
  EXPECT_FALSE(ArchiveHasData(bareReply, *ArchiveBlockHead(bareReply, 12)));
  unwritten[20] = 0x00;
  EXPECT_TRUE(ArchiveHasData(TAnswer(unwritten), *ArchiveBlockHead(TAnswer(unwritten), 12)));
  // A record written beyond the first reply block counts as much as one inside it.
  auto late = ArchiveAnswer(0, 40, kValueRecordSize, [](size_t r) {
    return r == 35 ? std::vector<uint8_t>{0x41, 0x20, 0, 0, 0x61} : std::vector<uint8_t>(5, 0xFF);
  });
  EXPECT_TRUE(ArchiveHasData(TAnswer(late), *ArchiveBlockHead(TAnswer(late), 12)));
}

TEST(TarvelDecode, PartlyWrittenRingGivesOnlyItsWrittenRecords) {
  // Six positions, newest 4; only positions 3 and 4 written.
  auto dates = ArchiveAnswer(4, 6, kDateRecordSize, [](size_t r) {
    return r == 3 || r == 4 ? std::vector<uint8_t>{24, 5, 6, uint8_t(r), 0} : std::vector<uint8_t>(5, 0xFF);
  });
  auto values = ArchiveAnswer(4, 6, kValueRecordSize, [](size_t r) {
    return r == 3 || r == 4 ? std::vector<uint8_t>{0x41, uint8_t(0x20 + r), 0, 0, 0}
                            : std::vector<uint8_t>(5, 0xFF);
  });
  TAnswer dateReply(dates), valueReply(values);
  TPrbArray dateArray = DecodeDateArray(dateReply, *ArchiveBlockHead(dateReply, 12), false);
  EXPECT_EQ(dateArray.Count, 6);  // the ring keeps its positions for matching the value columns
  TPrbArray result;
  EXPECT_TRUE(DecodeArchiveValues(valueReply, *ArchiveBlockHead(valueReply, 12), dateArray, false, result));
  ASSERT_EQ(result.Count, 2);
  ASSERT_EQ(result.Items.size(), 2u);
  EXPECT_EQ(result.Items[0].TimeStamp, EncodeDateTime(2024, 5, 6, 3, 0));
  EXPECT_EQ(result.Items[1].TimeStamp, EncodeDateTime(2024, 5, 6, 4, 0));
}

TEST(TarvelDecode, ErrorArchiveGivesDurationsAndRemappedFlags) {
  // Two records, newest at 0: read order is position 1, then 0. Dates have no minute.
  auto dates = ArchiveAnswer(0, 2, kErrorDateRecordSize, [](size_t r) {
    return std::vector<uint8_t>{99, 12, 31, uint8_t(20 + r)};
  });
  auto values = ArchiveAnswer(0, 2, kErrorValueRecordSize, [](size_t r) {
    return r == 0 ? std::vector<uint8_t>{0x00, 0x5A, 0x81} : std::vector<uint8_t>{0x01, 0x2C, 0x0E};
  });
  TAnswer dateReply(dates), valueReply(values);
  TPrbArray dateArray = DecodeDateArray(dateReply, *ArchiveBlockHead(dateReply, 12), true);
  TPrbArray result;
  EXPECT_TRUE(DecodeArchiveValues(valueReply, *ArchiveBlockHead(valueReply, 12), dateArray, true, result));
  ASSERT_EQ(result.Count, 2);
  const TPrbArray& durations = result.Items.at(0);
  const TPrbArray& flags = result.Items.at(1);
  ASSERT_EQ(durations.Count, 2);
  EXPECT_EQ(durations.Items[0].Value, TVariant::Single(5.0f));  // 300 minutes, position 1
  EXPECT_EQ(durations.Items[1].Value, TVariant::Single(1.5f));  // 90 minutes, position 0
  EXPECT_EQ(flags.Items[0].Value, TVariant::Int(0x01));
  EXPECT_EQ(flags.Items[1].Value, TVariant::Int(0x18));
  EXPECT_EQ(durations.Items[0].TimeStamp, EncodeDateTime(1999, 12, 31, 21, 0));
  EXPECT_EQ(flags.Items[1].TimeStamp, EncodeDateTime(1999, 12, 31, 20, 0));
}

TEST(TarvelDecode, UnwrittenDateRecordsGetNoTime) {
  auto dates = ArchiveAnswer(1, 2, kDateRecordSize, [](size_t r) {
    return r == 0 ? std::vector<uint8_t>(5, 0xFF) : std::vector<uint8_t>{24, 5, 6, 7, 8};
  });
  TAnswer reply(dates);
  TPrbArray dateArray = DecodeDateArray(reply, *ArchiveBlockHead(reply, 12), false);
  ASSERT_EQ(dateArray.Items.size(), 2u);
  EXPECT_EQ(dateArray.Items[0].TimeQuality, kQualityBad);
  EXPECT_EQ(dateArray.Items[0].TimeStamp, 0.0);
  EXPECT_EQ(dateArray.Items[1].TimeQuality, kQualityGood);
}

}  // namespace
}  // namespace orvela
