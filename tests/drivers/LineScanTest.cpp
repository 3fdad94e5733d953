// The line scan and identification of the plain data model, on scripted answers: only answers that really
// came are looked at, indexes are checked against them, and the link is released on every path.
#include <gtest/gtest.h>

#include "drivers/AnswerBuilder.h"
#include "drivers/DataModel.h"
#include "drivers/ScriptedFraming.h"
#include "drivers/TarvelDecode.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

using test::MakeAnswer;
using Answer = std::optional<std::vector<uint8_t>>;

class LineScanAnswers : public ::testing::Test {
 protected:
  LineScanAnswers() {
    auto owned = std::make_unique<test::TScriptedFraming>();
    framing = owned.get();
    scan = std::make_unique<TDataModel>(std::move(owned), nullptr, &link);
  }
  test::TAlwaysConnected link;
  test::TScriptedFraming* framing = nullptr;
  std::unique_ptr<TDataModel> scan;
};

TEST_F(LineScanAnswers, DeviceListComesOnlyFromAnAnswerThatCame) {
  TRListData list;
  list.Count = 5;
  framing->answers = {std::nullopt};
  EXPECT_FALSE(scan->ReadDeviceList(list));
  EXPECT_EQ(list.Count, 0);
  EXPECT_EQ(link.releases, 1);

  framing->answers = {MakeAnswer(kAnswerBranchList, {1, 2, 1, 0, 7, 0})};
  EXPECT_TRUE(scan->ReadDeviceList(list));
  EXPECT_EQ(list.Ids, (std::vector<uint8_t>{1, 7}));
  EXPECT_EQ(link.releases, 2);
  EXPECT_EQ(framing->requests.back(), (std::vector<uint8_t>{0x00, 0x48, 0x02, 0x00, 0x01, 0x03}));

  const std::vector<uint8_t> bad[] = {
      MakeAnswer(kAnswerData, {1, 1, 1, 0}),           // not a list
      MakeAnswer(kAnswerBranchList, {1, 3, 1, 0, 7}),  // three addresses claimed, one and a half sent
  };
  for (const auto& answer : bad) {
    framing->answers = {answer};
    int releases = link.releases;
    EXPECT_THROW(
        try { scan->ReadDeviceList(list); } catch (const ETarvelException& e) {
          EXPECT_STREQ(e.what(), "Ошибка получения списка приборов");
          throw;
        },
        ETarvelException);
    EXPECT_EQ(list.Count, 0);
    EXPECT_EQ(link.releases, releases + 1);
  }

  link.up = false;
  size_t requests = framing->requests.size();
  EXPECT_FALSE(scan->ReadDeviceList(list));
  EXPECT_EQ(framing->requests.size(), requests);
}

TEST_F(LineScanAnswers, Identification) {
  auto first = [](uint8_t id) { return MakeAnswer(kAnswerBranchList, {2, 1, id, 0}); };
  auto second = [](uint8_t code) { return MakeAnswer(code, {5, 3, 4, 0x81, 0, 0, 0, 0, 1, 0x20}); };
  auto fromAddress = [](uint8_t address) {
    return MakeAnswer(kAnswerData, {5, 3, address, 0x81, 0, 0, 0, 0, 1});
  };
  struct Case {
    const char* what;
    std::vector<Answer> answers;
    int connects;
    bool result;
    uint8_t model;
  };
  const Case cases[] = {
      {"Tarvel M", {first(0x18)}, -1, true, mcTarvelM},
      {"Tarvel 2001", {first(0x01), second(kAnswerData)}, -1, true, mcTarvel2001},
      {"Tarvel F", {first(0x01), second(3)}, -1, true, mcTarvelF},
      {"second answer names nothing", {first(0x01), second(12)}, -1, true, 0},
      // Six bytes: too short for a successful exchange, yet the F meter's answer.
      {"Tarvel F refuses in six bytes", {first(0x01), MakeAnswer(3, {5, 0})}, -1, true, mcTarvelF},
      {"first answer is no list", {MakeAnswer(kAnswerData, {2, 1, 0x01, 0})}, -1, false, 0},
      {"second answer from another address", {first(0x01), fromAddress(5)}, -1, false, 0},
      {"second answer too short and no refusal",
       {first(0x01), MakeAnswer(kAnswerData, {5, 0})},
       -1,
       false,
       0},
      {"first answer names nothing", {first(0x05)}, -1, true, 0},
      {"first answer too short", {MakeAnswer(kAnswerBranchList, {2, 0, 0})}, -1, true, 0},
      {"first exchange failed", {std::nullopt}, -1, false, 0},
      {"second exchange failed", {first(0x01), std::nullopt}, -1, false, 0},
      {"no second connection", {first(0x01)}, 1, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    framing->answers.assign(c.answers.begin(), c.answers.end());
    framing->requests.clear();
    link.connects = c.connects;
    link.releases = 0;
    uint8_t model = 0;
    EXPECT_EQ(scan->IdentifyDevice(4, model), c.result);
    EXPECT_EQ(model, c.model);
    EXPECT_EQ(link.releases, 1);
    EXPECT_EQ(framing->requests.front(),
              (std::vector<uint8_t>{0x00, 0x48, 0x06, 0x00, 0x02, 0x03, 4, 0, 0, 0}));
  }
}

}  // namespace
}  // namespace orvela
