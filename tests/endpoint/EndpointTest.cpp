// The local endpoint: its JSON-line protocol against the server objects hosted on a simulated meter
// line, and OrvelaOPC --serve as a service on a program folder.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <sys/un.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>
#include <map>
#include <optional>
#include <string>

#include "com/ServerHost.h"
#include "endpoint/Endpoint.h"
#include "endpoint/EndpointCodec.h"
#include "endpoint/EndpointFixture.h"
#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "metersim/Values.h"
#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/MainThread.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComVariant.h"
#include "support/Process.h"
#include "support/ServerFolder.h"
#include "support/TempDir.h"
#include "tree/DemoConfig.h"

namespace orvela {
namespace {

using namespace test;

TEST(EndpointCodec, ValuesAndTimesAreSentAsTheWireSaysJsonCannotCarryThemOtherwise) {
  struct TCase {
    VARIANT value;
    Json expected;
  };
  auto make = [](VARTYPE vt, auto setter) {
    VARIANT v{};
    v.vt = vt;
    setter(v);
    return v;
  };
  const TCase cases[] = {
      {make(VT_EMPTY, [](VARIANT&) {}), nullptr},
      {make(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_TRUE; }), true},
      {make(VT_I2, [](VARIANT& v) { v.iVal = -7; }), -7},
      {make(VT_UI4, [](VARIANT& v) { v.ulVal = 4000000000u; }), 4000000000u},
      {make(VT_R4, [](VARIANT& v) { v.fltVal = 21.1f; }), 21.1},
      {make(VT_R8, [](VARIANT& v) { v.dblVal = std::nan(""); }), "#NaN"},
      {make(VT_R4, [](VARIANT& v) { v.fltVal = -INFINITY; }), "#-Inf"},
      {make(VT_R8, [](VARIANT& v) { v.dblVal = INFINITY; }), "#Inf"},
      {make(VT_I8, [](VARIANT& v) { v.llVal = 5; }), "#i64:5"},
      {make(VT_UI8, [](VARIANT& v) { v.ullVal = 18446744073709551615ull; }), "#u64:18446744073709551615"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.expected.dump());
    Json out;
    ASSERT_TRUE(endpoint::ValueJson(c.value, out));
    EXPECT_EQ(out, c.expected);
  }
  TComVariant text;
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocString(u"#abc");
  Json out;
  ASSERT_TRUE(endpoint::ValueJson(text, out));
  EXPECT_EQ(out, "##abc");
  VARIANT currency{};
  currency.vt = VT_CY;
  EXPECT_FALSE(endpoint::ValueJson(currency, out));

  // 2025-12-10T10:00:00Z and a tick before it, floored; a zero time is unknown.
  const int64_t micros = 1'765'360'800'000'000;
  EXPECT_EQ(endpoint::FileTimeToMicros(endpoint::MicrosToFileTime(micros)), micros);
  EXPECT_EQ(
      endpoint::FileTimeToMicros(Int64ToFileTime(FileTimeToInt64(endpoint::MicrosToFileTime(micros)) - 1)),
      micros - 1);
  EXPECT_TRUE(endpoint::TimeJson(FILETIME{}).is_null());
}

TEST_F(Endpoint, LinesGetTheirRepliesAndBadOnesAnErrorThatLeavesTheConnectionWorking) {
  TLineClient client(endpoint->SocketPath());
  ASSERT_TRUE(client.Connected());
  struct TCase {
    std::string line;
    Json id;                     // of the reply
    std::optional<uint32_t> hr;  // nullopt: ok
  };
  const TCase cases[] = {
      {R"({"id":1,"op":"ping"})", 1, kUnexpected},  // before hello
      {R"({"id":2,"op":"hello","proto":"1"})", 2, kInvalidArg},
      {R"({"id":3,"op":"hello","proto":1,"client":"test"})", 3, std::nullopt},
      {R"({"id":4,"op":"hello","proto":1})", 4, kUnexpected},
      {"oops", nullptr, kInvalidData},
      {"[1,2]", nullptr, kInvalidData},
      {"{\"id\":5,\"op\":\"ping\",\"x\":\"\xff\"}", nullptr, kInvalidData},
      {R"({"op":"ping"})", nullptr, kInvalidArg},
      {R"({"id":0,"op":"ping"})", nullptr, kInvalidArg},
      {R"({"id":1.5,"op":"ping"})", nullptr, kInvalidArg},
      {R"({"id":9007199254740992,"op":"ping"})", nullptr, kInvalidArg},
      {R"({"id":6,"op":7})", 6, kInvalidArg},
      {R"({"id":7,"op":"write"})", 7, kNotImpl},
      {R"({"id":8,"op":"ping","future":[1]})", 8, std::nullopt},
      {R"({"id":9,"op":"read","items":[]})", 9, kInvalidArg},
      {R"({"id":10,"op":"read","items":[1]})", 10, kInvalidArg},
      {R"({"id":11,"op":"read","items":["x"],"maxAge":-1})", 11, kInvalidArg},
      {R"({"id":12,"op":"sub","items":["x"]})", 12, kInvalidArg},
      {R"({"id":13,"op":"unsub","sub":99})", 13, kInvalidHandle},
      {R"({"id":14,"op":"hist.raw","nid":"x","start":2,"end":1})", 14, kInvalidArg},
      {R"({"id":15,"op":"hist.raw","nid":"Устройства.Нет","start":1,"end":2})", 15, kUnknownItem},
      {R"({"id":16,"op":"hist.raw","nid":"Устройства","start":1,"end":2})", 16, kBadRights},
      {R"({"id":17,"op":"hist.raw","nid":"x","start":1,"end":2,"max":1000001})", 17, kInvalidArg},
      {R"({"id":18,"op":"cancel","req":12345})", 18, std::nullopt},
      {R"({"id":19,"op":"status"})"
       "\r",
       19, std::nullopt},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.line);
    client.Send("\n" + c.line + "\n");  // empty lines are ignored
    const std::optional<Json> reply = client.Next();
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)["id"], c.id) << reply->dump();
    if (c.hr) {
      EXPECT_EQ((*reply)["ok"], false) << reply->dump();
      EXPECT_EQ((*reply)["hr"], *c.hr) << reply->dump();
    } else {
      EXPECT_EQ((*reply)["ok"], true) << reply->dump();
    }
  }
  // An oversized line is answered once, skipped to its end, and the next line is served.
  client.Send(std::string(4'194'305, 'x') + "\n" +
              R"({"id":20,"op":"ping"})"
              "\n");
  const std::optional<Json> tooLong = client.Next();
  ASSERT_TRUE(tooLong);
  EXPECT_EQ((*tooLong)["hr"], kBadLength);
  EXPECT_TRUE((*tooLong)["id"].is_null());
  const std::optional<Json> pong = client.Next();
  ASSERT_TRUE(pong);
  EXPECT_EQ((*pong)["id"], 20);
  EXPECT_TRUE((*pong)["now"].is_number_integer());
}

TEST_F(Endpoint, HelloAndBrowseDescribeTheTreeAndReadGivesTheMetersValue) {
  TLineClient client(endpoint->SocketPath());
  const Json hello = client.Ask({{"id", 1}, {"op", "hello"}, {"proto", 1}});
  ASSERT_EQ(hello["ok"], true) << hello.dump();
  EXPECT_EQ(hello["root"], "Устройства");
  EXPECT_EQ(hello["limits"]["line"], 4194304);

  client.Send(R"({"id":2,"op":"browse"})"
              "\n");
  const std::vector<Json> browse = client.Until(2);
  ASSERT_GE(browse.size(), 2u);
  EXPECT_EQ(browse.back()["generation"], hello["generation"]);
  std::map<std::string, Json> nodes;
  for (size_t k = 0; k + 1 < browse.size(); ++k)
    for (const Json& node : browse[k]["nodes"]) nodes[node["nid"]] = node;
  EXPECT_EQ(browse.back()["count"], nodes.size());
  EXPECT_TRUE(browse[0]["nodes"][0]["parent"].is_null());
  ASSERT_TRUE(nodes.count(kHeatNow));
  EXPECT_EQ(nodes[kHeatNow]["kind"], "variable");
  EXPECT_EQ(nodes[kHeatNow]["da"], true);
  ASSERT_TRUE(nodes.count(kHeatHours));
  EXPECT_EQ(nodes[kHeatHours]["hist"], true);
  EXPECT_TRUE(nodes.count(nodes[kHeatNow]["parent"].get<std::string>()));

  const TDateTime before = clock.Now();
  const Json read = client.Ask({{"id", 3},
                                {"op", "read"},
                                {"items", {kHeatNow, "Устройства.Нет такого", "Устройства", kHeatNow}},
                                {"maxAge", 0}});
  const TDateTime after = clock.Now();
  ASSERT_EQ(read["ok"], true) << read.dump();
  const Json& items = read["items"];
  ASSERT_EQ(items.size(), 4u);
  for (size_t k : {0u, 3u}) {
    SCOPED_TRACE(k);
    EXPECT_EQ(items[k]["hr"], 0);
    EXPECT_EQ(items[k]["q"], 192);
    EXPECT_TRUE(items[k]["t"].is_number_integer());
    const float value = items[k]["v"].get<float>();
    EXPECT_TRUE(value == sim::CurrentValue(kDemoMeterSerial, kHeat, before) ||
                value == sim::CurrentValue(kDemoMeterSerial, kHeat, after))
        << value;
  }
  EXPECT_EQ(items[1]["hr"], kUnknownItem);
  EXPECT_TRUE(items[1]["v"].is_null());
  EXPECT_EQ(items[2]["hr"], kBadRights);
}

TEST_F(Endpoint, SubscriptionDeliversDataEventsAfterItsReplyUntilUnsubscribed) {
  auto client = Open();
  client->Send(Json{{"id", 2}, {"op", "sub"}, {"rate", 500}, {"items", {kHeatNow, "Устройства.Нет"}}}.dump() +
               "\n");
  std::vector<Json> events;
  const std::vector<Json> reply = client->Until(2, &events);
  ASSERT_EQ(reply.size(), 1u);
  ASSERT_EQ(reply[0]["ok"], true) << reply[0].dump();
  EXPECT_EQ(reply[0]["rate"], 2000);
  EXPECT_EQ(reply[0]["items"], Json({0, kUnknownItem}));
  EXPECT_TRUE(events.empty());  // nothing before the reply
  const int64_t sub = reply[0]["sub"];
  std::optional<Json> event = client->Next();
  ASSERT_TRUE(event);
  EXPECT_EQ((*event)["ev"], "data");
  EXPECT_EQ((*event)["sub"], sub);
  ASSERT_EQ((*event)["items"].size(), 1u);
  EXPECT_EQ((*event)["items"][0]["nid"], kHeatNow);
  EXPECT_EQ((*event)["items"][0]["q"], 192);

  const Json status = client->Ask({{"id", 3}, {"op", "status"}});
  EXPECT_EQ(status["subs"], 1);
  EXPECT_EQ(status["state"], "running");
  const Json mod = client->Ask(
      {{"id", 4}, {"op", "sub.mod"}, {"sub", sub}, {"rate", 3000}, {"remove", {"Устройства.Нет"}}});
  EXPECT_EQ(mod["rate"], 3000);
  EXPECT_EQ(mod["remove"], Json({kInvalidHandle}));
  EXPECT_EQ(client->Ask({{"id", 5}, {"op", "unsub"}, {"sub", sub}})["ok"], true);
  EXPECT_EQ(client->Ask({{"id", 6}, {"op", "unsub"}, {"sub", sub}})["hr"], kInvalidHandle);
  EXPECT_EQ(client->Ask({{"id", 7}, {"op", "status"}})["subs"], 0);
}

TEST_F(Endpoint, HistRawStreamsTheHourlyRecordsOfTheWindowWithBoundsAndMax) {
  auto client = Open();
  const int64_t endIndex = sim::PeriodIndex(sim::EPeriod::Hour, kStart) - 2;
  auto micros = [](int64_t index) {
    return endpoint::FileTimeToMicros(LocalDateTimeToFileTime(sim::PeriodStart(sim::EPeriod::Hour, index)));
  };
  const int64_t firstIndex = endIndex - 6;
  client->Send(Json{{"id", 2},
                    {"op", "hist.raw"},
                    {"nid", kHeatHours},
                    {"start", micros(firstIndex)},
                    {"end", micros(endIndex)}}
                   .dump() +
               "\n");
  const std::vector<Json> got = client->Until(2);
  ASSERT_GE(got.size(), 2u);
  ASSERT_EQ(got.back()["ok"], true) << got.back().dump();
  EXPECT_EQ(got.back()["more"], false);
  const Json& values = got[0]["values"];
  // start <= t < end: the record at the start is in, the one at the end is not.
  ASSERT_EQ(values.size(), 6u) << values.dump();
  EXPECT_EQ(got.back()["count"], 6);
  for (size_t k = 0; k < values.size(); ++k) {
    SCOPED_TRACE(k);
    const int64_t index = firstIndex + static_cast<int64_t>(k);
    EXPECT_EQ(values[k]["t"], micros(index));
    EXPECT_EQ(values[k]["q"], 0x000400C0);
    EXPECT_EQ(values[k]["v"].get<float>(),
              sim::ArchiveValue(kDemoMeterSerial, kHeat, sim::EPeriod::Hour, index, false));
    EXPECT_FALSE(values[k].contains("bound"));
  }

  // max cuts the window short; the end bound is then left out. The start bound is the value at start.
  const Json limited = Json{{"id", 3},
                            {"op", "hist.raw"},
                            {"nid", kHeatHours},
                            {"start", micros(firstIndex) + 1},
                            {"end", micros(endIndex)},
                            {"max", 2},
                            {"bounds", true}};
  client->Send(limited.dump() + "\n");
  const std::vector<Json> cut = client->Until(3);
  ASSERT_GE(cut.size(), 2u);
  EXPECT_EQ(cut.back()["more"], true);
  const Json& bounded = cut[0]["values"];
  ASSERT_EQ(bounded.size(), 3u) << bounded.dump();
  EXPECT_EQ(bounded[0]["t"], micros(firstIndex));
  EXPECT_EQ(bounded[0]["bound"], true);
  EXPECT_EQ(bounded[1]["t"], micros(firstIndex + 1));
  EXPECT_EQ(bounded[2]["t"], micros(firstIndex + 2));
}

// Pages of a window come from what the first page's read gave, through an opaque continuation or a
// request from the last time given: the meter is gone by then, and the values are still its own. Window
// edges outside the times the wire carries are clamped, not refused.
TEST_F(Endpoint, HistPagesComeFromTheKeptReadAndOpenEndsAreClamped) {
  auto client = Open();
  const int64_t endIndex = sim::PeriodIndex(sim::EPeriod::Hour, kStart) - 2;
  const int64_t firstIndex = endIndex - 6;
  auto values = [&](int64_t id, const Json& request) {
    Json asked = request;
    asked["id"] = id;
    asked["op"] = "hist.raw";
    asked["nid"] = kHeatHours;
    client->Request(asked);
    std::vector<Json> got = client->Until(id);
    Json out = Json::array();
    for (size_t k = 0; k + 1 < got.size(); ++k)
      for (const Json& value : got[k]["values"]) out.push_back(value);
    out.push_back(got.empty() ? Json() : got.back());  // the reply last
    return out;
  };
  auto expectRecord = [](const Json& value, int64_t index) {
    EXPECT_EQ(value["t"], HourMicros(index)) << value.dump();
    EXPECT_EQ(value["v"].get<float>(),
              sim::ArchiveValue(kDemoMeterSerial, kHeat, sim::EPeriod::Hour, index, false));
  };
  const Json first = values(
      2, {{"start", HourMicros(firstIndex)}, {"end", HourMicros(endIndex)}, {"max", 2}, {"bounds", true}});
  ASSERT_EQ(first.size(), 3u) << first.dump();
  expectRecord(first[0], firstIndex);  // at the start: no start bound added
  expectRecord(first[1], firstIndex + 1);
  ASSERT_EQ(first.back()["more"], true) << first.dump();
  ASSERT_TRUE(first.back()["cont"].is_string()) << first.dump();
  // From year 0, and from the window's start to year 10000: what the meter has.
  const Json fromYear0 = values(7, {{"start", -62'167'219'200'000'000}, {"end", HourMicros(endIndex)}});
  ASSERT_EQ(fromYear0.back()["ok"], true) << fromYear0.back().dump();
  ASSERT_GE(fromYear0.size(), 7u);
  expectRecord(fromYear0[fromYear0.size() - 2], endIndex - 1);
  const Json toYear10000 =
      values(8, {{"start", HourMicros(firstIndex)}, {"end", 253'402'300'800'000'000}, {"max", 3}});
  ASSERT_EQ(toYear10000.size(), 4u) << toYear10000.dump();
  expectRecord(toYear10000[0], firstIndex);
  line.reset();

  const Json second = values(3, {{"cont", first.back()["cont"]}, {"max", 2}});
  ASSERT_EQ(second.size(), 3u) << second.dump();
  expectRecord(second[0], firstIndex + 2);
  expectRecord(second[1], firstIndex + 3);
  const Json third =
      values(4, {{"start", HourMicros(firstIndex + 4)}, {"end", HourMicros(endIndex)}, {"bounds", true}});
  ASSERT_EQ(third.size(), 4u) << third.dump();
  expectRecord(third[0], firstIndex + 4);
  expectRecord(third[1], firstIndex + 5);
  expectRecord(third[2], endIndex);  // the end bound
  EXPECT_EQ(third[2]["bound"], true);
  EXPECT_EQ(third.back()["more"], false);

  std::string forged = second.back()["cont"];
  forged[0] = forged[0] == '0' ? '1' : '0';
  EXPECT_EQ(values(5, {{"cont", forged}}).back()["hr"], kInvalidHandle);
  Json elsewhere{{"id", 6}, {"op", "hist.raw"}, {"nid", kHeatNow}, {"cont", second.back()["cont"]}};
  EXPECT_NE(client->Ask(elsewhere)["ok"], true);
}

// A read-out tree keeps an archive's parameters as branch leaves: they are variables, their branch a folder.
TEST_F(Endpoint, BranchLeavesAreVariablesAndBranchesWithChildrenFolders) {
  TTree& tree = host->Tree();
  TNTreeData* hours = tree.ResolveIdentifier(std::string(test::kDemoHours).substr(0, std::strlen(test::kDemoHours) - 1));
  ASSERT_NE(hours, nullptr);
  TNTreeData* leaf = tree.AddChildNamed(hours, "Архивный лист");
  leaf->Kind = nkSubBranch;
  leaf->HDAVisible = true;
  endpoint->CheckTree();
  auto client = Open();
  client->Send(R"({"id":2,"op":"browse"})"
               "\n");
  std::map<std::string, Json> nodes;
  for (const Json& part : client->Until(2))
    if (part.contains("nodes"))
      for (const Json& node : part["nodes"]) nodes[node["nid"]] = node;
  ASSERT_TRUE(nodes.count(leaf->Path)) << leaf->Path;
  EXPECT_EQ(nodes[leaf->Path]["kind"], "variable");
  EXPECT_EQ(nodes[leaf->Path]["hist"], true);
  EXPECT_EQ(nodes[hours->Path]["kind"], "folder");
  tree.DetachChild(hours, leaf);
}

TEST_F(Endpoint, ATreeChangeIsAnnouncedOnceWithTheNewGeneration) {
  auto client = Open();
  const uint32_t before = client->Ask({{"id", 2}, {"op", "status"}})["generation"];
  endpoint->CheckTree();  // nothing changed: no event
  TNTreeData* root = host->Tree().Root();
  TNTreeData* device = root->Children.at(0);
  host->Tree().DetachChild(root, device);
  endpoint->CheckTree();
  endpoint->CheckTree();
  const std::optional<Json> event = client->Next();
  ASSERT_TRUE(event);
  EXPECT_EQ((*event)["ev"], "tree");
  EXPECT_NE((*event)["generation"], before);
  const Json status = client->Ask({{"id", 3}, {"op", "status"}});
  EXPECT_EQ(status["generation"], (*event)["generation"]);  // and no second event before the reply
  client->Send(R"({"id":4,"op":"browse"})"
               "\n");
  const std::vector<Json> browse = client->Until(4);
  EXPECT_EQ(browse.back()["generation"], (*event)["generation"]);
  for (size_t k = 0; k + 1 < browse.size(); ++k)
    for (const Json& node : browse[k]["nodes"]) EXPECT_NE(node["nid"], device->Path);
  host->Tree().AttachChild(root, device);  // the fixture's host stops the engine with the tree whole
}

TEST_F(Endpoint, CancelOfARequestInProgressGetsItsOneReply) {
  auto client = Open();
  // Both lines arrive together: the cancel is seen before the main thread serves the read.
  client->Send(Json{{"id", 2}, {"op", "read"}, {"items", {kHeatNow}}}.dump() + "\n" +
               Json{{"id", 3}, {"op", "cancel"}, {"req", 2}}.dump() + "\n");
  std::vector<Json> others;
  const std::vector<Json> read = client->Until(2, &others);
  ASSERT_EQ(read.size(), 1u);
  ASSERT_EQ(others.size(), 1u);
  EXPECT_EQ(others[0]["found"], true);
  EXPECT_EQ(read[0]["ok"], false);
  EXPECT_EQ(read[0]["hr"], 0x80004004u);
  // The id is free again once answered.
  EXPECT_EQ(client->Ask({{"id", 2}, {"op", "ping"}})["ok"], true);
}

// A line that is gone: the read that finds it gone fails, and while the connection is held back after
// the failed connect, reads are answered at once as not connected instead of waiting out their deadline.
TEST_F(Endpoint, ReadsOfALineHeldBackAfterAFailedConnectAreAnsweredAtOnceAsNotConnected) {
  auto client = Open();
  ASSERT_EQ(client->Ask({{"id", 2}, {"op", "read"}, {"items", {kHeatNow}}})["items"][0]["q"], 192);
  line.reset();
  const int64_t sent = clock.TickMs();
  for (int id : {3, 4}) {
    const Json lost = client->Ask({{"id", id}, {"op", "read"}, {"items", {kHeatNow}}});
    ASSERT_EQ(lost["ok"], true) << lost.dump();
    EXPECT_EQ(lost["items"][0]["q"], 8) << lost.dump();
  }
  EXPECT_LT(clock.TickMs() - sent, 60'000);
  EXPECT_EQ(client->Ask({{"id", 5}, {"op", "ping"}})["ok"], true);
}

// A meter that stops answering: the read that waits for it ends at its deadline with a time-out, the
// connection keeps answering meanwhile, a cancel cuts such a read at once, and a read with a maxAge is
// answered from what the meter gave before.
TEST_F(Endpoint, ReadsOfALostMeterEndByTheirDeadlineOrACancelAndMaxAgeUsesWhatCameBefore) {
  auto client = Open();
  const Json first = client->Ask({{"id", 2}, {"op", "read"}, {"items", {kHeatNow}}, {"maxAge", 0}});
  ASSERT_EQ(first["items"][0]["q"], 192) << first.dump();
  Silence(true);

  const int64_t sent = clock.TickMs();
  client->Send(Json{{"id", 4}, {"op", "read"}, {"items", {kHeatNow, kHeatNow}}}.dump() + "\n" +
               Json{{"id", 5}, {"op", "ping"}}.dump() + "\n");
  std::vector<Json> others;
  const std::vector<Json> waited = client->Until(4, &others);
  ASSERT_EQ(waited.size(), 1u);
  ASSERT_EQ(others.size(), 1u) << "the ping waited for the read";
  EXPECT_EQ(others[0]["id"], 5);
  EXPECT_GE(clock.TickMs() - sent, 60'000);
  for (const Json& item : waited[0]["items"]) {
    EXPECT_EQ(item["hr"], 0x800705B4u) << waited[0].dump();
    EXPECT_EQ(item["q"], 0);
  }

  client->Send(Json{{"id", 6}, {"op", "read"}, {"items", {kHeatNow}}}.dump() + "\n");
  for (int k = 0; k < 20; ++k) MainThread::PumpFor(5);  // the read is in flight
  const int64_t asked = clock.TickMs();
  client->Send(Json{{"id", 7}, {"op", "cancel"}, {"req", 6}}.dump() + "\n");
  const std::vector<Json> cut = client->Until(6, &others);
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0]["hr"], 0x80004004u) << cut[0].dump();
  EXPECT_LT(clock.TickMs() - asked, 30'000);

  const Json cached = client->Ask({{"id", 8}, {"op", "read"}, {"items", {kHeatNow}}, {"maxAge", 86'400'000}});
  ASSERT_EQ(cached["ok"], true) << cached.dump();
  EXPECT_EQ(cached["items"][0], first["items"][0]);
  const Json tooOld = client->Ask({{"id", 9}, {"op", "read"}, {"items", {kHeatNow}}, {"maxAge", 1}});
  EXPECT_EQ(tooOld["items"][0]["hr"], 0x800705B4u) << tooOld.dump();

  // An archive read waits the same way: cut by a cancel, or answered at its deadline with no records.
  const int64_t now = endpoint::FileTimeToMicros(LocalDateTimeToFileTime(clock.Now()));
  const Json window{{"op", "hist.raw"}, {"nid", kHeatHours}, {"start", now - 86'400'000'000}, {"end", now},
                    {"bounds", true}};
  Json history = window;
  history["id"] = 10;
  client->Send(history.dump() + "\n");
  for (int k = 0; k < 20; ++k) MainThread::PumpFor(5);
  client->Send(Json{{"id", 11}, {"op", "cancel"}, {"req", 10}}.dump() + "\n");
  const std::vector<Json> cutHistory = client->Until(10, &others);
  ASSERT_EQ(cutHistory.size(), 1u);
  EXPECT_EQ(cutHistory[0]["hr"], 0x80004004u) << cutHistory[0].dump();

  history["id"] = 12;
  const int64_t historySent = clock.TickMs();
  client->Send(history.dump() + "\n" + Json{{"id", 13}, {"op", "ping"}}.dump() + "\n");
  others.clear();
  const std::vector<Json> late = client->Until(12, &others);
  ASSERT_FALSE(late.empty());
  EXPECT_EQ(late.back()["ok"], true) << late.back().dump();
  EXPECT_GE(clock.TickMs() - historySent, 110'000);
  ASSERT_EQ(others.size(), 1u) << "the ping waited for the archive";
  for (size_t k = 0; k + 1 < late.size(); ++k)
    for (const Json& value : late[k]["values"]) EXPECT_EQ(value["q"], 0x00100000u) << value.dump();
}

TEST_F(Endpoint, AClientThatGoesMidStreamLeavesTheServerServingOthers) {
  {
    auto gone = Open();
    gone->Send(Json{{"id", 2}, {"op", "sub"}, {"rate", 0}, {"items", {kHeatNow}}}.dump() + "\n" +
               Json{{"id", 3}, {"op", "browse"}}.dump() + "\n" +
               Json{{"id", 4}, {"op", "read"}, {"items", {kHeatNow}}}.dump() + "\n");
    ASSERT_TRUE(gone->Next());
  }  // closed with replies and events still coming
  auto client = Open();
  for (int k = 0; k < 20; ++k) MainThread::PumpFor(5);
  const Json status = client->Ask({{"id", 2}, {"op", "status"}});
  EXPECT_EQ(status["connections"], 1);
  const Json read = client->Ask({{"id", 3}, {"op", "read"}, {"items", {kHeatNow}}});
  EXPECT_EQ(read["items"][0]["q"], 192) << read.dump();
}

std::string ServiceProgram() {
  return std::string(ORVELA_BINARY_DIR) + "/src/app/OrvelaOPC";
}

// Waits for the service to say it serves.
::testing::AssertionResult Serving(test::TProcess& server) {
  if (!server.Started()) return ::testing::AssertionFailure() << server.StartError();
  std::optional<std::string> line;
  while ((line = server.ReadLine(60'000)) && line->rfind("serving on ", 0) != 0) {
  }
  if (!line) return ::testing::AssertionFailure() << "the server did not start serving";
  return ::testing::AssertionSuccess();
}

TEST(EndpointService, ServesUntilSigtermAndRefusesASecondInstance) {
  ScaledClock clock(20, kStart);
  sim::TLine line(sim::TLineOptions{.clock = &clock});
  line.AddDevice(sim::MakeDevice("tarvel2001", kDemoMeterAddress, kDemoMeterSerial));
  line.ListenTcp();
  test::TTempDir temp{"orvela-eps"};
  test::WriteServerFolder(temp.Path(), line.Port());
  test::TProcess server({ServiceProgram(), "--dir", temp.Path().string(), "--serve"});
  ASSERT_TRUE(Serving(server));

  TLineClient client(temp.Path() / TEndpoint::kSocketName, false);
  ASSERT_TRUE(client.Connected());
  EXPECT_EQ(client.Ask({{"id", 1}, {"op", "hello"}, {"proto", 1}})["ok"], true);
  EXPECT_EQ(client.Ask({{"id", 2}, {"op", "ping"}})["ok"], true);

  test::TProcess second({ServiceProgram(), "--dir", temp.Path().string(), "--serve"});
  const test::TProcessResult refused = second.Finish(60'000);
  EXPECT_NE(refused.exitCode, 0);
  EXPECT_NE(refused.err.find("another OrvelaOPC already serves"), std::string::npos) << refused.err;

  ASSERT_EQ(::kill(server.Pid(), SIGTERM), 0);
  const std::optional<Json> shutdown = client.Next();
  ASSERT_TRUE(shutdown);
  EXPECT_EQ((*shutdown)["ev"], "shutdown");
  const test::TProcessResult result = server.Finish(60'000);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_FALSE(std::filesystem::exists(temp.Path() / TEndpoint::kSocketName));
}

// A port nothing listens on: bound, read back, closed.
uint16_t DeadPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

// The service keeps reading its signals while a read waits for a meter that cannot be reached.
TEST(EndpointService, SigtermIsNotHeldUpByAReadWaitingForALostMeter) {
  test::TTempDir temp{"orvela-eps"};
  test::WriteServerFolder(temp.Path(), DeadPort());
  test::TProcess server({ServiceProgram(), "--dir", temp.Path().string(), "--serve"});
  ASSERT_TRUE(Serving(server));
  TLineClient client(temp.Path() / TEndpoint::kSocketName, false);
  ASSERT_EQ(client.Ask({{"id", 1}, {"op", "hello"}, {"proto", 1}})["ok"], true);
  const Json refused = client.Ask({{"id", 2}, {"op", "read"}, {"items", {kHeatNow}}});
  ASSERT_EQ(refused["ok"], true) << refused.dump();
  EXPECT_NE(refused["items"][0]["q"], 192);

  client.Send(Json{{"id", 3}, {"op", "read"}, {"items", {kHeatNow}}}.dump() + "\n" +
              Json{{"id", 4}, {"op", "hist.raw"}, {"nid", kHeatHours}, {"start", 0}, {"end", 3'600'000'000}}.dump() +
              "\n");
  EXPECT_EQ(client.Ask({{"id", 5}, {"op", "status"}})["requests"], 3);  // both reads are out
  const auto signalled = std::chrono::steady_clock::now();
  ASSERT_EQ(::kill(server.Pid(), SIGTERM), 0);
  const test::TProcessResult result = server.Finish(60'000);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(20));
}

}  // namespace
}  // namespace orvela
