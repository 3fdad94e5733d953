// Archive reads whose exchanges fail or change in between, in orders a live line cannot be made to give:
// answers are handed to the driver by a scripted framing.
#include <gtest/gtest.h>

#include <cstring>

#include "drivers/AnswerBuilder.h"
#include "drivers/ScriptedFraming.h"
#include "drivers/Tarvel2001.h"
#include "drivers/Tarvel2001Nodes.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

using test::MakeAnswer;
using test::TAlwaysConnected;
using test::TCountingOwner;
using test::TJournalCapture;
using test::TScriptedFraming;

// A column of n five-byte records with the newest at `newest`; record r holds r + 1 (dates: hour r).
std::vector<uint8_t> Column(uint8_t parameter, uint8_t newest, uint8_t n, bool zero = false) {
  std::vector<uint8_t> body{5, 3, 1, 1, tidHours, parameter, 5, newest, n};
  for (uint8_t r = 0; r < n; ++r) {
    if (parameter == tidDateColumn) {
      for (uint8_t b : {uint8_t(24), uint8_t(3), uint8_t(2), r, uint8_t(0)}) body.push_back(b);
    } else {
      float v = zero ? 0.0f : float(r + 1);
      uint32_t bits;
      std::memcpy(&bits, &v, 4);
      for (int shift = 24; shift >= 0; shift -= 8) body.push_back(uint8_t(bits >> shift));
      body.push_back(0);
    }
  }
  return MakeAnswer(kAnswerData, body);
}

class Tarvel2001Archive : public ::testing::Test {
 protected:
  Tarvel2001Archive() {
    auto owned = std::make_unique<TScriptedFraming>();
    framing = owned.get();
    model = std::make_unique<TTarvel2001>(std::move(owned), &owner, &link);
    model->SetArchiveDates(&dates);
    model->SetDevice(&record);
    record.Serial = "12345678";
    root.Kind = nkRoot;
    device.Kind = nkDevice;
    device.Address = 1;
    device.Parent = &root;
    data.Address = tidData;
    data.Parent = &device;
    hours.Address = tidHours;
    hours.Parent = &data;
    heat.Address = 0x00;
    heat.Parent = &hours;
    heat.Path = "Устройства.ТАРВЕЛ.Почасовой архив.Q1";
    SetAttribute(heat, asDataType, TVariant::Int(VT_R4));
  }

  TAlwaysConnected link;
  TCountingOwner owner;
  TScriptedFraming* framing = nullptr;
  std::unique_ptr<TTarvel2001> model;
  std::vector<TDateArrayCell*> dates;
  TPribor record;
  TNTreeData root, device, data, hours, heat;
};

TEST_F(Tarvel2001Archive, FailedDateReReadIsAFailure) {
  framing->answers = {Column(0x00, 2, 4), std::nullopt, std::nullopt, std::nullopt};
  TPrbArray result;
  EXPECT_FALSE(model->ReadArchive(result, &heat, 0));
  EXPECT_EQ(result.Count, 0);
  EXPECT_TRUE(result.Items.empty());
  EXPECT_EQ(framing->requests.size(), 4u);  // the value column, then three attempts at the dates
}

TEST_F(Tarvel2001Archive, RingThatMovedBetweenValuesAndDatesIsRefused) {
  // The values were taken with the newest record at 2; by the date request the meter wrote position 3.
  framing->answers = {Column(0x00, 2, 4), Column(tidDateColumn, 3, 4)};
  TPrbArray result;
  EXPECT_FALSE(model->ReadArchive(result, &heat, 0));
  EXPECT_TRUE(result.Items.empty());

  // Kept dates of the same ring state are used without a date request.
  framing->requests.clear();
  framing->answers = {Column(0x00, 3, 4)};
  ASSERT_TRUE(model->ReadArchive(result, &heat, 0));
  ASSERT_EQ(framing->requests.size(), 1u);
  ASSERT_EQ(result.Count, 4);
  EXPECT_EQ(result.Items[0].Value, TVariant::Single(1.0f));  // position 0 follows the newest, 3
  EXPECT_EQ(result.Items[0].TimeStamp, EncodeDateTime(2024, 3, 2, 0, 0));
  EXPECT_EQ(result.Items[3].TimeStamp, EncodeDateTime(2024, 3, 2, 3, 0));
  ASSERT_EQ(dates.size(), 1u);
  EXPECT_EQ(dates[0], hours.DateArrayCell.get());
}

TEST_F(Tarvel2001Archive, AnswerWhoseRecordsRunPastItsEndIsRefused) {
  auto cut = Column(0x00, 2, 4);
  cut[12] = 9;  // nine records claimed, four sent
  framing->answers = {cut};
  TPrbArray result;
  hours.DateArrayCell = std::make_unique<TDateArrayCell>();
  hours.DateArrayCell->DateArray = std::make_shared<TPrbArray>();
  hours.DateArrayCell->DateArray->Count = 9;
  hours.DateArrayCell->DateArray->NewestIndex = 2;
  hours.DateArrayCell->DateArray->Items.resize(9);
  EXPECT_FALSE(model->ReadArchive(result, &heat, 0));
  EXPECT_TRUE(result.Items.empty());
}

TEST_F(Tarvel2001Archive, ZeroArchiveIsJournalledWhenEveryRequestIs) {
  TJournalCapture journal;
  TSettings settings{};
  settings.JournalEveryRequest = true;
  model->SetSettings(settings);
  framing->answers = {Column(0x00, 1, 3, true), Column(tidDateColumn, 1, 3)};
  TPrbArray result;
  ASSERT_TRUE(model->ReadArchive(result, &heat, 0));
  EXPECT_EQ(result.Count, 3);
  ASSERT_EQ(journal.lines.size(), 1u);
  EXPECT_EQ(journal.lines[0], "Нулевые данные:" + heat.Path);

  settings.JournalEveryRequest = false;
  model->SetSettings(settings);
  framing->answers = {Column(0x00, 1, 3, true)};
  ASSERT_TRUE(model->ReadArchive(result, &heat, 0));
  EXPECT_EQ(journal.lines.size(), 1u);
}

TEST_F(Tarvel2001Archive, WrongAnswerCodeIsJournalledWithItsBytes) {
  TJournalCapture journal;
  record.Name = "ТАРВЕЛ";
  auto refusal = MakeAnswer(3, {5, 3, 1, 1, tidHours, 0, 0, 0, 0});
  framing->answers = {refusal, refusal, refusal};
  TPrbArray result;
  EXPECT_FALSE(model->ReadArchive(result, &heat, 0));
  ASSERT_EQ(journal.lines.size(), 3u);
  EXPECT_EQ(journal.lines[2], "Ошибка (3) ТАРВЕЛ2001 (Ф-ТАРВЕЛ): 00 03 09 00 05 03 01 01 1A 00 00 00 00 ");
  EXPECT_EQ(journal.seconds[2], "12345678");
  EXPECT_EQ(owner.calls, 3);  // handed to the main thread through the reader's synchronisation
}

}  // namespace
}  // namespace orvela
