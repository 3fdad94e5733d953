// The drivers' one exchange: requests named by id paths, retries, and a link session that connects for the
// operation and releases once on every path. Scripted answers give the orders a live line cannot.
#include <gtest/gtest.h>

#include <functional>

#include "drivers/AnswerBuilder.h"
#include "drivers/ScriptedFraming.h"
#include "drivers/Tarvel2001.h"
#include "drivers/Tarvel2001Nodes.h"
#include "links/LinkExceptions.h"
#include "protocols/MakerMessage.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

using test::MakeAnswer;
using Answer = std::optional<std::vector<uint8_t>>;

constexpr uint8_t kAddress = 7;

// Public: the operation table below drives the fixture.
class DeviceExchange : public ::testing::Test {
 public:
  DeviceExchange() {
    auto owned = std::make_unique<test::TScriptedFraming>();
    framing = owned.get();
    model = std::make_unique<TTarvel2001>(std::move(owned), nullptr, &link);
    model->SetDevice(&record);
    root.Kind = nkRoot;
    device.Kind = nkDevice;
    device.Address = kAddress;
    device.Parent = &root;
  }
  // A node under the device, ids from the top level down.
  TNTreeData* Node(std::initializer_list<uint8_t> ids) {
    TNTreeData* parent = &device;
    for (uint8_t id : ids) {
      auto& node = nodes.emplace_back(std::make_unique<TNTreeData>());
      node->Address = id;
      node->Parent = parent;
      parent = node.get();
    }
    return parent;
  }

  test::TAlwaysConnected link;
  test::TScriptedFraming* framing = nullptr;
  std::unique_ptr<TTarvel2001> model;
  TPribor record;
  TNTreeData root, device;
  std::vector<std::unique_ptr<TNTreeData>> nodes;
};

// Every read of the driver, with the request bytes the meter expects for it.
struct TOperation {
  const char* what;
  std::vector<uint8_t> request;
  std::function<bool(DeviceExchange&)> run;
};

std::vector<TOperation> Operations() {
  return {
      {"serial number",
       {0x00, 0x4A, 0x06, 0x00, 0x05, 0x03, kAddress, 0x41, 0x2F, 0x29},
       [](DeviceExchange& t) {
         std::string serial;
         return t.model->ReadSerialNumber(kAddress, serial);
       }},
      {"device clock",
       {0x00, 0x4A, 0x05, 0x00, 0x04, 0x03, kAddress, tidTimer, tidCurrent},
       [](DeviceExchange& t) {
         TDateTime time = 0;
         return t.model->ReadDeviceClock(kAddress, time);
       }},
      {"current value",
       {0x00, 0x4A, 0x06, 0x00, 0x05, 0x03, kAddress, tidData, tidCurrent, 0x13},
       [](DeviceExchange& t) {
         TPrbArray result;
         return t.model->ReadCurrent(result, t.Node({tidData, tidCurrent, 0x13}), 1);
       }},
      {"timer value",
       {0x00, 0x4A, 0x05, 0x00, 0x04, 0x03, kAddress, tidTimer, tidStatus},
       [](DeviceExchange& t) {
         TPrbArray result;
         return t.model->ReadCurrent(result, t.Node({tidTimer, tidStatus}), 1);
       }},
      {"archive column",
       {0x00, 0x4A, 0x06, 0x00, 0x05, 0x03, kAddress, tidData, tidHours, tidDateColumn},
       [](DeviceExchange& t) {
         TBytes buffer;
         return t.model->SendArchiveRequest(kAddress, tidHours, buffer, tidDateColumn, tidData);
       }},
  };
}

TEST_F(DeviceExchange, EveryReadAsksByItsPathAndReleasesOnceWhateverHappens) {
  struct Script {
    const char* what;
    std::vector<Answer> answers;
    int connects;  // -1: always
    size_t requests;
    int releases;
  };
  const Script scripts[] = {
      {"no answer at all", {std::nullopt, std::nullopt, std::nullopt}, -1, 3, 1},
      // The drift this guards: a later connect that fails used to skip the release.
      {"a later connect fails", {std::nullopt}, 1, 1, 1},
      {"never connected", {}, 0, 0, 0},
  };
  for (const TOperation& op : Operations()) {
    for (const Script& script : scripts) {
      SCOPED_TRACE(std::string(op.what) + ": " + script.what);
      framing->answers.assign(script.answers.begin(), script.answers.end());
      framing->requests.clear();
      link.connects = script.connects;
      link.releases = 0;
      record.LastClockRead = record.LastStatusRead = 0;  // the timer periods have run out
      EXPECT_FALSE(op.run(*this));
      EXPECT_EQ(framing->requests.size(), script.requests);
      for (const auto& request : framing->requests) EXPECT_EQ(request, op.request);
      EXPECT_EQ(link.releases, script.releases);
    }
  }
}

TEST_F(DeviceExchange, TimerReadReportsTheLinkThatDidNotConnectOnALaterAttempt) {
  framing->answers = {std::nullopt};
  link.connects = 1;
  TPrbArray result;
  EXPECT_FALSE(model->ReadCurrent(result, Node({tidTimer, tidStatus}), 1));
  EXPECT_EQ(result.ValueQuality, kQualityNotConnected);
  EXPECT_EQ(result.SingleValue(), nullptr);
  EXPECT_EQ(link.releases, 1);
}

TEST_F(DeviceExchange, AnswerOfAnotherRequestIsRetriedAndNeverDecoded) {
  // The first answer echoes another parameter; the second is this request's.
  std::vector<uint8_t> other{5, 3, kAddress, tidData, tidCurrent, 0x14, 0, 0, 1, 0x00, 0x41, 0x20, 0, 0};
  std::vector<uint8_t> mine = other;
  mine[5] = 0x13;
  framing->answers = {MakeAnswer(kAnswerData, other), MakeAnswer(kAnswerData, mine)};
  TPrbArray result;
  ASSERT_TRUE(model->ReadCurrent(result, Node({tidData, tidCurrent, 0x13}), 1));
  EXPECT_EQ(framing->requests.size(), 2u);
  ASSERT_NE(result.SingleValue(), nullptr);
  EXPECT_EQ(result.SingleValue()->Value.d, 10.0);
  EXPECT_EQ(link.releases, 1);
}

TEST_F(DeviceExchange, DriverThatReportsSuccessItselfSetsTheWorkItemsReadResult) {
  class TReporting : public TTarvel2001 {
   public:
    using TTarvel2001::TTarvel2001;
    void Done() { ReportReadDone(); }
  };
  TReporting reporting(std::make_unique<test::TScriptedFraming>(), nullptr, &link);
  reporting.Done();  // no work item: nothing to set
  TDescThread item;
  reporting.SetWorkItem(&item);
  reporting.Done();
  EXPECT_EQ(item.ReadResult, 1);
}

TEST(MakerMessage, RepliesAreCheckedAgainstTheirDeclaredLength) {
  struct Case {
    const char* what;
    std::vector<uint8_t> reply;
    const char* error;  // nullptr: accepted
    bool counts;        // a successful exchange
  };
  const Case cases[] = {
      {"three bytes", {0, 8, 0}, "Ошибка приема - пустой ответ", false},
      {"shorter than declared",
       {0, 8, 3, 0, 1, 2},
       "Ошибка приема - расхождение заявленной и полученной длинны",
       false},
      {"declares more than a buffer holds", {0, 8, 0xFF, 0xFF, 1}, nullptr, false},
      {"six bytes: whole but short", {0, 3, 2, 0, 5, 0}, nullptr, false},
      {"seven bytes with fill after them", {0, 8, 3, 0, 1, 2, 3, 0x1A, 0x1A}, nullptr, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.error != nullptr) {
      try {
        maker::CheckReply(c.reply);
        ADD_FAILURE() << "accepted";
      } catch (const EReadExcept& e) {
        EXPECT_STREQ(e.what(), c.error);
      }
      continue;
    }
    if (maker::DeclaredTotal(c.reply) > maker::kAnswerBufferSize) {
      EXPECT_THROW(maker::CheckReply(c.reply), EReadExcept);
      continue;
    }
    maker::CheckReply(c.reply);
    TBytes buffer;
    EXPECT_EQ(maker::CopyToAnswerBuffer(c.reply, buffer), c.counts);
    ASSERT_EQ(buffer.size(), maker::kAnswerBufferSize);
    size_t total = maker::DeclaredTotal(c.reply);
    EXPECT_TRUE(
        std::equal(c.reply.begin(), c.reply.begin() + static_cast<std::ptrdiff_t>(total), buffer.begin()));
    EXPECT_EQ(buffer[total], 0xFF);  // the fill after the declared part is not copied
  }
  EXPECT_EQ(maker::BuildMessage(0x4A, std::vector<uint8_t>{4, 3, 1, 17, 9}),
            (std::vector<uint8_t>{0, 0x4A, 5, 0, 4, 3, 1, 17, 9}));
}

}  // namespace
}  // namespace orvela
