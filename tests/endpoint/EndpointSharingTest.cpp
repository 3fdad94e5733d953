// The endpoint shared: several connections reading and subscribing at once, reads that join or are cut
// short, clients that do not read or never say hello, and the slot kept for the gateway.
#include <sys/socket.h>

#include <cerrno>
#include <map>
#include <set>

#include "endpoint/EndpointFixture.h"

namespace orvela {
namespace {

using namespace test;

constexpr uint32_t kBusy = 0x800700AA;
constexpr uint32_t kAbort = 0x80004004;
constexpr uint32_t kTimeout = 0x800705B4;

// What the meter shows for the heat quantity at any minute from one time to another.
std::set<float> HeatValues(TDateTime from, TDateTime to) {
  std::set<float> values;
  for (TDateTime t = from - 1.0 / 1440; t <= to + 1.0 / 1440; t += 1.0 / 1440)
    values.insert(sim::CurrentValue(kDemoMeterSerial, kHeat, t));
  return values;
}

void ExpectGoodHeat(const Json& item, const std::set<float>& values) {
  EXPECT_EQ(item["hr"], 0) << item.dump();
  EXPECT_EQ(item["q"], 192) << item.dump();
  ASSERT_TRUE(item["v"].is_number()) << item.dump();
  EXPECT_TRUE(values.count(item["v"].get<float>())) << item.dump();
}

TEST_F(Endpoint, ThreeConnectionsReadingAndSubscribingAtOnceAllGetTheMetersValues) {
  std::vector<std::unique_ptr<TLineClient>> clients;
  for (int k = 0; k < 3; ++k) clients.push_back(Open());
  const TDateTime before = clock.Now();
  // Everything is asked before any answer is awaited: the reads meet in flight, the subscriptions have two
  // rates between them.
  const int rates[] = {2000, 3000, 3000};
  for (int k = 0; k < 3; ++k) {
    clients[k]->Request({{"id", 2}, {"op", "sub"}, {"rate", rates[k]}, {"items", {kHeatNow}}});
    clients[k]->Request({{"id", 3}, {"op", "read"}, {"items", {kHeatNow}}});
    clients[k]->Request({{"id", 4}, {"op", "read"}, {"items", {kHeatNow, kHeatNow}}});
  }
  std::vector<std::map<int64_t, Json>> replies(3);
  std::vector<std::vector<Json>> events(3);
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    while (replies[k].size() < 3 || events[k].size() < 3) {
      const std::optional<Json> message = clients[k]->Next();
      ASSERT_TRUE(message) << "replies " << replies[k].size() << ", events " << events[k].size();
      if (message->contains("ev"))
        events[k].push_back(*message);
      else
        replies[k][(*message)["id"].get<int64_t>()] = *message;
    }
  }
  const std::set<float> values = HeatValues(before, clock.Now());
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    ASSERT_EQ(replies[k][2]["ok"], true) << replies[k][2].dump();
    EXPECT_EQ(replies[k][2]["rate"], rates[k]);
    for (int id : {3, 4}) {
      ASSERT_EQ(replies[k][id]["ok"], true) << replies[k][id].dump();
      for (const Json& item : replies[k][id]["items"]) ExpectGoodHeat(item, values);
    }
    for (const Json& event : events[k]) {
      EXPECT_EQ(event["sub"], replies[k][2]["sub"]);
      for (const Json& item : event["items"]) ExpectGoodHeat(item, values);
    }
  }
}

// Two connections read the same item while the meter is silent: the second joins the first's device read,
// and a cancel of the first leaves the second waiting for that read, which the meter then answers.
TEST_F(Endpoint, ACancelOfAJoinedReadLeavesTheOtherOneItsAnswer) {
  auto first = Open();
  auto second = Open();
  ASSERT_EQ(first->Ask({{"id", 2}, {"op", "read"}, {"items", {kHeatNow}}})["items"][0]["q"], 192);
  Silence(true);
  first->Request({{"id", 3}, {"op", "read"}, {"items", {kHeatNow}}});
  second->Request({{"id", 3}, {"op", "read"}, {"items", {kHeatNow}}});
  for (int k = 0; k < 20; ++k) MainThread::PumpFor(5);  // both reads are in flight
  first->Request({{"id", 4}, {"op", "cancel"}, {"req", 3}});
  std::vector<Json> others;
  const std::vector<Json> cut = first->Until(3, &others);
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0]["hr"], kAbort) << cut[0].dump();
  Silence(false);
  const TDateTime before = clock.Now();
  const std::vector<Json> joined = second->Until(3);
  ASSERT_EQ(joined.size(), 1u);
  ASSERT_EQ(joined[0]["ok"], true) << joined[0].dump();
  ExpectGoodHeat(joined[0]["items"][0], HeatValues(before - 1.0 / 24, clock.Now()));
}

// A read with a time-out of its own is answered by then, its unanswered items timed out, and a failed read
// does not take the place of the last good value for reads with a maxAge.
TEST_F(Endpoint, AReadsOwnTimeOutAnswersItEarlyAndFailuresKeepTheLastGoodValue) {
  auto client = Open();
  const Json good = client->Ask({{"id", 2}, {"op", "read"}, {"items", {kHeatNow}}});
  ASSERT_EQ(good["items"][0]["q"], 192) << good.dump();
  Silence(true);
  const int64_t sent = clock.TickMs();
  const Json late =
      client->Ask({{"id", 3}, {"op", "read"}, {"items", {kHeatNow, kHeatNow}}, {"timeoutMs", 3000}});
  const int64_t waited = clock.TickMs() - sent;
  ASSERT_EQ(late["ok"], true) << late.dump();
  EXPECT_GE(waited, 3000);
  EXPECT_LT(waited, 30'000);
  for (const Json& item : late["items"]) EXPECT_EQ(item["hr"], kTimeout) << late.dump();
  const Json cached = client->Ask({{"id", 4}, {"op", "read"}, {"items", {kHeatNow}}, {"maxAge", 86'400'000}});
  EXPECT_EQ(cached["items"][0], good["items"][0]);
  EXPECT_EQ(client->Ask({{"id", 5}, {"op", "read"}, {"items", {kHeatNow}}, {"timeoutMs", -1}})["hr"],
            kInvalidArg);
}

// Bad lines are answered without end; a client that never reads them fills its outbox, is no longer read
// from, and is cut, while the others are served.
TEST_F(Endpoint, AClientThatSendsBadLinesAndNeverReadsIsCut) {
  auto observer = Open();
  TLineClient flood(endpoint->SocketPath(), false);
  flood.Request({{"id", 1}, {"op", "hello"}, {"proto", 1}});  // said hello: not cut as a silent one
  std::string junk;
  for (int k = 0; k < 16384; ++k) junk += "x\n";
  bool cut = false;
  for (int round = 0; round < 12000 && !cut; ++round) {
    const ssize_t n = ::send(flood.Fd(), junk.data(), junk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      cut = true;
    } else if (n < 0) {
      pollfd writable{flood.Fd(), POLLOUT, 0};
      ::poll(&writable, 1, 5);
    }
  }
  EXPECT_TRUE(cut) << "the server kept reading a client that does not read";
  const Json status = observer->Ask({{"id", 2}, {"op", "status"}});
  EXPECT_EQ(status["connections"], 1) << status.dump();
}

// Eight clients, one more slot for the gateway; connections that never say hello give theirs up, at once
// when a newcomer finds the table full, else after a while.
TEST_F(Endpoint, TheGatewaysSlotIsKeptAndSilentConnectionsGiveWay) {
  const Json gatewayHello{{"id", 1}, {"op", "hello"}, {"proto", 1}, {"client", "orvela-ua-gateway/1.0.0"}};
  std::vector<std::unique_ptr<TLineClient>> clients;
  for (int k = 0; k < 8; ++k) clients.push_back(Open());
  TLineClient ninth(endpoint->SocketPath());
  EXPECT_EQ(ninth.Ask({{"id", 1}, {"op", "hello"}, {"proto", 1}, {"client", "orvela-ua-gateway-not"}})["hr"],
            kBusy);
  EXPECT_TRUE(ninth.WaitClosed());

  auto gateway = std::make_unique<TLineClient>(endpoint->SocketPath());
  ASSERT_EQ(gateway->Ask(gatewayHello)["ok"], true);
  TLineClient tenth(endpoint->SocketPath());
  const std::optional<Json> busy = tenth.Next();
  ASSERT_TRUE(busy);
  EXPECT_EQ((*busy)["hr"], kBusy);
  EXPECT_TRUE(tenth.WaitClosed());

  // The gateway comes back while a silent connection holds the last slot: the silent one goes.
  int64_t statusId = 2;
  auto awaitConnections = [&](int count) {
    Json status = Json::object();
    for (int k = 0; k < 100 && status.value("connections", 0) != count; ++k)
      status = clients[0]->Ask({{"id", statusId++}, {"op", "status"}});
    return status.value("connections", 0) == count;
  };
  gateway.reset();
  ASSERT_TRUE(awaitConnections(8));  // the server has seen the gateway go before the silent one comes
  TLineClient silent(endpoint->SocketPath());
  ASSERT_TRUE(awaitConnections(9));
  gateway = std::make_unique<TLineClient>(endpoint->SocketPath());
  ASSERT_EQ(gateway->Ask(gatewayHello)["ok"], true);
  EXPECT_TRUE(silent.WaitClosed());

  // With room to spare, a silent connection is cut after a while all the same.
  clients.pop_back();
  ASSERT_TRUE(awaitConnections(8));
  TLineClient idle(endpoint->SocketPath());
  const int64_t opened = clock.TickMs();
  EXPECT_TRUE(idle.WaitClosed());
  EXPECT_GE(clock.TickMs() - opened, 30'000);
  EXPECT_EQ(gateway->Ask({{"id", 2}, {"op", "ping"}})["ok"], true);
}

}  // namespace
}  // namespace orvela
