// Decoding of the Tarvel M's block answers from bytes built by hand: counts bounded by what came, 0xFF
// filler never a good value, entries read inside themselves, impossible and future dates reported.
#include <gtest/gtest.h>

#include <bit>

#include "drivers/TarvelMDecode.h"

namespace orvela {
namespace {

const TDateTime kNow = EncodeDateTime(2024, 3, 2, 10, 20);

// An answer of code 6 with an echoed four-id path and the block from byte 12.
class TBlock {
 public:
  TBlock() : bytes_{0, kAnswerMBlock, 0, 0, 4, 3, 7, 200, 26, 0, 0, 0} {}
  TBlock& Add(std::initializer_list<uint8_t> more) {
    bytes_.insert(bytes_.end(), more);
    return *this;
  }
  TBlock& Float(float value) {
    auto bits = std::bit_cast<uint32_t>(value);
    return Add({uint8_t(bits >> 24), uint8_t(bits >> 16), uint8_t(bits >> 8), uint8_t(bits)});
  }
  TBlock& Fill(size_t count) {
    bytes_.insert(bytes_.end(), count, 0xFF);
    return *this;
  }
  TAnswer Answer() {
    size_t length = bytes_.size() - 4;
    bytes_[2] = uint8_t(length);
    bytes_[3] = uint8_t(length >> 8);
    return TAnswer(bytes_);
  }

 private:
  std::vector<uint8_t> bytes_;
};

TMArchiveContext Hourly() {
  return {.archive = 26, .now = kNow};
}

TEST(TarvelMDecode, CurrentEntriesAreBoundedByTheReplyAndFillerIsBad) {
  struct Case {
    const char* what;
    TBlock block;
    size_t children;
    std::vector<int> filled;  // Count of each child's record
  };
  std::vector<Case> cases;
  cases.push_back({"count larger than the reply", TBlock().Add({3, 0x08}).Float(1.5f), 3, {1, 0, 0}});
  cases.push_back(
      {"count smaller than the tree", TBlock().Add({1, 0x00}).Float(2.5f).Add({0}).Float(9), 3, {1, 0, 0}});
  cases.push_back({"filler entry", TBlock().Add({2}).Fill(5).Add({0x10}).Float(3.5f), 2, {1, 1}});
  for (Case& c : cases) {
    std::vector<size_t> wanted = {0, 1, 2};
    TPrbArray result;
    ASSERT_TRUE(DecodeMCurrent(c.block.Answer(), c.children, wanted, result)) << c.what;
    ASSERT_EQ(result.Items.size(), c.children) << c.what;
    for (size_t i = 0; i < c.children; ++i)
      EXPECT_EQ(result.Items[i].Count, c.filled[i]) << c.what << " " << i;
  }
  TPrbArray result;
  std::vector<size_t> wanted = {0, 1};
  ASSERT_TRUE(DecodeMCurrent(TBlock().Add({2}).Fill(5).Add({0x10}).Float(3.5f).Answer(), 2, wanted, result));
  EXPECT_EQ(result.Items[0].ValueQuality, kQualityBad);
  EXPECT_EQ(result.Items[0].SingleValue()->ValueQuality, kQualityBad);
  EXPECT_EQ(result.Items[1].SingleValue()->Value, TVariant::Single(3.5f));
  EXPECT_EQ(result.Items[1].Items[1].Value, TVariant::Int(0x08));  // bit 4 -> bit 3
  EXPECT_FALSE(DecodeMCurrent(TAnswer(std::vector<uint8_t>{0, 6, 0, 0}), 2, wanted, result));
}

TEST(TarvelMDecode, StatusRemapOfTheM) {
  const std::pair<uint8_t, int32_t> cases[] = {{0x08, 0x04}, {0x10, 0x08}, {0x20, 0x01},
                                               {0xE0, 0x01}, {0x07, 0x00}, {0xFF, 0x0D}};
  for (auto [in, out] : cases) EXPECT_EQ(RemapStatusM(in), out) << int(in);
}

TEST(TarvelMDecode, RecordBlocksThatDoNotFitAreRefused) {
  struct Case {
    const char* what;
    TBlock block;
    bool ok;
  };
  Case cases[] = {
      {"empty archive", TBlock().Add({0}), true},
      {"short of the count", TBlock().Add({2, 24, 3, 2, 9, 0}).Float(1).Add({0}), false},
      {"a record cut short", TBlock().Add({1, 24, 3, 2, 9, 0}).Float(1), false},
      {"two whole records",
       TBlock().Add({2, 24, 3, 2, 8, 0}).Float(1).Add({0, 24, 3, 2, 9, 0}).Float(2).Add({0}), true},
  };
  for (Case& c : cases) {
    TPrbArray result;
    TMDateReport report;
    EXPECT_EQ(DecodeMRecords(c.block.Answer(), 12, 1, false, Hourly(), result, report), c.ok) << c.what;
  }
  TPrbArray dates;
  TMDateReport report;
  EXPECT_FALSE(DecodeMDates(TBlock().Add({3, 24, 3, 2, 8, 0}).Answer(), 12, false, Hourly(), dates, report));
}

TEST(TarvelMDecode, RecordsKeepTimeOrderAndServeNoFillerOrBadDate) {
  // Stored order wraps: 09:00, unwritten, a month-13 record, 08:00, then a record from next week.
  TBlock block;
  block.Add({5});
  block.Add({24, 3, 2, 9, 0}).Float(9).Add({0});
  block.Fill(10);
  block.Add({24, 13, 2, 7, 0}).Float(7).Add({0});
  block.Add({24, 3, 2, 8, 0}).Float(8).Add({0});
  block.Add({24, 3, 9, 8, 0}).Float(99).Add({0});
  TPrbArray result;
  TMDateReport report;
  ASSERT_TRUE(DecodeMRecords(block.Answer(), 12, 2, false, Hourly(), result, report));
  EXPECT_TRUE(report.bad);
  ASSERT_EQ(result.Items.size(), 2u);
  EXPECT_TRUE(result.Items[1].Items.empty());  // the branch's second child has no entry in these records
  std::vector<std::pair<float, uint8_t>> good;
  size_t bad = 0;
  for (const TPrbArray& item : result.Items[0].Items) {
    if (item.ValueQuality == kQualityGood)
      good.emplace_back(float(item.Value.d), item.TimeQuality);
    else {
      ++bad;
      EXPECT_EQ(item.TimeStamp, 0);
    }
  }
  EXPECT_EQ(bad, 2u);  // month 13 and the future record
  EXPECT_EQ(good, (std::vector<std::pair<float, uint8_t>>{{8.0f, kQualityGood}, {9.0f, kQualityGood}}));
}

TEST(TarvelMDecode, ErrorEntriesAreReadInsideTheirSevenBytes) {
  // Dates column and an error value column of one record; the byte after the entry must not count.
  TPrbArray dates;
  TMDateReport report;
  ASSERT_TRUE(
      DecodeMDates(TBlock().Add({1, 24, 3, 2, 8, 0, 0, 0}).Answer(), 12, true, Hourly(), dates, report));
  ASSERT_EQ(dates.Count, 1);
  TPrbArray result;
  // 5400 units of 2 s = 3 hours; flags 0x08; then the value 12.5.
  TBlock values;
  values.Add({1, 0x15, 0x18, 0x08}).Float(12.5f).Add({0x77});
  ASSERT_TRUE(DecodeMParameter(values.Answer(), 12, dates, true, result));
  ASSERT_EQ(result.Count, 3);
  EXPECT_EQ(result.Items[0].Items.at(0).Value, TVariant::Single(12.5f));
  EXPECT_EQ(result.Items[1].Items.at(0).Value, TVariant::Single(3.0f));
  EXPECT_EQ(result.Items[2].Items.at(0).Value, TVariant::Int(0x04));
  // A value column of another count than its dates is no column of them.
  EXPECT_FALSE(DecodeMParameter(TBlock().Add({2}).Fill(14).Answer(), 12, dates, true, result));
}

}  // namespace
}  // namespace orvela
