// Raw reads as OPC HDA clients run them, through both read interfaces: range edges and paging, no data,
// reverse reads, open ends, bounds, times given as text; handles kept per client; cancels; a read given
// up at the time limit that must not cost its transaction number.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "opc_hda/HdaTestSupport.h"
#include "platform/Cp1251.h"

namespace orvela::test {
namespace {

constexpr HRESULT kTimedOut = HRESULT_FROM_WIN32(1460);
constexpr double kHour = 1.0 / 24;
constexpr double kMinute = kHour / 60;

// One value a client expects: an hourly record by its period index, or "no bound" at a time.
struct TWant {
  std::optional<int64_t> index;
  TDateTime noBoundAt = 0;
};
TWant Rec(int64_t index) {
  return {index, 0};
}
TWant NoBound(TDateTime at) {
  return {std::nullopt, at};
}

void ExpectValues(const THdaItemCopy& item, const std::vector<TWant>& want) {
  ASSERT_EQ(item.values.size(), want.size());
  for (size_t k = 0; k < want.size(); ++k) {
    SCOPED_TRACE(k);
    if (want[k].index) {
      const int64_t i = *want[k].index;
      EXPECT_EQ(FileTimeToInt64(item.times[k]),
                FileTimeToInt64(LocalDateTimeToFileTime(sim::PeriodStart(sim::EPeriod::Hour, i))));
      EXPECT_EQ(item.qualities[k], OPCHDA_RAW | 0xC0u);
      EXPECT_EQ(item.values[k],
                TVariant::Single(sim::ArchiveValue(kHdaSerial, kHdaParam, sim::EPeriod::Hour, i, false)));
    } else {
      EXPECT_EQ(FileTimeToInt64(item.times[k]), FileTimeToInt64(LocalDateTimeToFileTime(want[k].noBoundAt)));
      EXPECT_EQ(item.qualities[k], OPCHDA_NOBOUND);
      EXPECT_EQ(item.values[k], TVariant());
    }
  }
}

class HdaClientFlowTest : public HdaServerTest {
 protected:
  HdaClientFlowTest() : newest(sim::PeriodIndex(sim::EPeriod::Hour, kHdaStart) - 1), b(newest - 20) {}

  TDateTime H(int64_t index) const { return sim::PeriodStart(sim::EPeriod::Hour, index); }

  std::vector<OPCHANDLE> GetHandles(IOPCHDA_Server* server, std::vector<TNTreeData*> nodes,
                                    std::vector<OPCHANDLE> clients) {
    std::vector<std::u16string> texts;
    for (TNTreeData* node : nodes) texts.push_back(Utf8ToUtf16(node->Path));
    std::vector<LPWSTR> ids;
    for (auto& t : texts) ids.push_back(t.data());
    OPCHANDLE* handles = nullptr;
    HRESULT* errors = nullptr;
    EXPECT_EQ(
        server->GetItemHandles(static_cast<DWORD>(ids.size()), ids.data(), clients.data(), &handles, &errors),
        S_OK);
    std::vector<OPCHANDLE> out(handles, handles + nodes.size());
    CoTaskMemFree(handles);
    CoTaskMemFree(errors);
    return out;
  }

  template <class I>
  TComPtr<I> As(const TComPtr<IOPCHDA_Server>& server) {
    TComPtr<I> out;
    EXPECT_EQ(server.As(out), S_OK);
    return out;
  }

  // One synchronous ReadRaw of one item: the call's result, the item and its error.
  HRESULT SyncRead(IOPCHDA_SyncRead* reader, OPCHDA_TIME& start, OPCHDA_TIME& end, DWORD maxValues,
                   bool bounds, OPCHANDLE handle, THdaItemCopy& item, HRESULT& error) {
    OPCHDA_ITEM* values = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr = reader->ReadRaw(&start, &end, maxValues, bounds, 1, &handle, &values, &errors);
    if (SUCCEEDED(hr)) {
      item = CopyItem(values[0]);
      error = errors[0];
      FreeItems(values, 1);
      CoTaskMemFree(errors);
    }
    return hr;
  }

  const int64_t newest;  // the newest hourly record the meter keeps
  const int64_t b;       // a record well inside the ring
};

struct TRawCase {
  const char* name;
  TDateTime start;
  std::optional<TDateTime> end;  // none: an empty end time
  DWORD maxValues;
  bool bounds;
  std::vector<TWant> want;
  HRESULT error;
};

TEST_F(HdaClientFlowTest, ReadRawByTheOpcRulesSyncAndAsync) {
  const TDateTime half = 30 * kMinute;
  const int64_t oldest = newest - 71;
  // The cases at the ring's ends first, before the clock reaches the next hour.
  const std::vector<TRawCase> cases = {
      {"no bound after the newest",
       H(newest - 1),
       H(newest) + half,
       0,
       true,
       {Rec(newest - 1), Rec(newest), NoBound(H(newest) + half)},
       S_OK},
      {"no bound before the oldest",
       H(oldest) - half,
       H(oldest + 1) + half,
       0,
       true,
       {NoBound(H(oldest) - half), Rec(oldest), Rec(oldest + 1), Rec(oldest + 2)},
       S_OK},
      {"empty end past the newest", H(newest), std::nullopt, 5, false, {Rec(newest)}, S_OK},
      {"start included, end excluded", H(b), H(b + 3), 0, false, {Rec(b), Rec(b + 1), Rec(b + 2)}, S_OK},
      {"a page", H(b), H(b + 6), 3, false, {Rec(b), Rec(b + 1), Rec(b + 2)}, OPC_S_MOREDATA},
      {"the next page repeats the last time given",
       H(b + 2),
       H(b + 6),
       3,
       false,
       {Rec(b + 2), Rec(b + 3), Rec(b + 4)},
       OPC_S_MOREDATA},
      {"the last page", H(b + 4), H(b + 6), 3, false, {Rec(b + 4), Rec(b + 5)}, S_OK},
      {"nothing in the range", H(b) + 10 * kMinute, H(b) + 20 * kMinute, 0, false, {}, OPC_S_NODATA},
      {"end before start reads backwards",
       H(b + 3),
       H(b),
       0,
       false,
       {Rec(b + 3), Rec(b + 2), Rec(b + 1)},
       S_OK},
      {"backwards in pages", H(b + 3), H(b), 2, false, {Rec(b + 3), Rec(b + 2)}, OPC_S_MOREDATA},
      {"start equal to end", H(b), H(b), 0, false, {Rec(b)}, S_OK},
      {"empty end with a count", H(b), std::nullopt, 2, false, {Rec(b), Rec(b + 1)}, OPC_S_MOREDATA},
      {"bounds outside the range",
       H(b) + half,
       H(b + 2) + half,
       0,
       true,
       {Rec(b), Rec(b + 1), Rec(b + 2), Rec(b + 3)},
       S_OK},
      {"bounds on the edges", H(b), H(b + 2), 0, true, {Rec(b), Rec(b + 1), Rec(b + 2)}, S_OK},
      {"bounds of an empty range",
       H(b) + 10 * kMinute,
       H(b) + 20 * kMinute,
       0,
       true,
       {Rec(b), Rec(b + 1)},
       OPC_S_NODATA},
      {"bounds backwards",
       H(b + 2) + half,
       H(b) + half,
       0,
       true,
       {Rec(b + 3), Rec(b + 2), Rec(b + 1), Rec(b)},
       S_OK},
      {"bounds count in a page",
       H(b) + half,
       H(b + 4) + half,
       3,
       true,
       {Rec(b), Rec(b + 1), Rec(b + 2)},
       OPC_S_MOREDATA},
  };
  auto server = CreateServer();
  auto sink = AdviseSink(server.Get());
  const OPCHANDLE handle = GetHandles(server.Get(), {hourly}, {7})[0];
  auto sync = As<IOPCHDA_SyncRead>(server);
  auto async = As<IOPCHDA_AsyncRead>(server);
  const auto timeOf = [](std::optional<TDateTime> t) {
    return t ? AbsoluteTime(*t) : OPCHDA_TIME{FALSE, nullptr, FILETIME{}};
  };

  for (size_t i = 0; i < cases.size(); ++i) {
    const TRawCase& c = cases[i];
    SCOPED_TRACE(c.name);
    OPCHDA_TIME start = timeOf(c.start), end = timeOf(c.end);
    THdaItemCopy item;
    HRESULT error = E_FAIL;
    ASSERT_EQ(SyncRead(sync.Get(), start, end, c.maxValues, c.bounds, handle, item, error), S_OK);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(item.client, 7u);
    ExpectValues(item, c.want);

    DWORD cancelId = 0;
    HRESULT* errors = nullptr;
    OPCHANDLE one = handle;
    ASSERT_EQ(async->ReadRaw(static_cast<DWORD>(100 + i), &start, &end, c.maxValues, c.bounds, 1, &one,
                             &cancelId, &errors),
              S_OK);
    EXPECT_EQ(errors[0], S_OK);
    CoTaskMemFree(errors);
  }
  ASSERT_TRUE(PumpUntil([&] { return sink->Reads().size() == cases.size(); }));
  for (const THdaDelivery& d : sink->Reads()) {
    ASSERT_GE(d.transaction, 100u);
    const TRawCase& c = cases.at(d.transaction - 100);
    SCOPED_TRACE(std::string("async: ") + c.name);
    EXPECT_EQ(d.error, c.error);
    EXPECT_EQ(d.item.client, 7u);
    ExpectValues(d.item, c.want);
  }

  // What a read cannot be: an empty start, or an empty end without a count.
  OPCHDA_TIME empty{FALSE, nullptr, FILETIME{}}, given = AbsoluteTime(H(b));
  THdaItemCopy item;
  HRESULT error = S_OK;
  EXPECT_EQ(SyncRead(sync.Get(), empty, given, 5, false, handle, item, error), E_INVALIDARG);
  EXPECT_EQ(SyncRead(sync.Get(), given, empty, 0, false, handle, item, error), E_INVALIDARG);
}

TEST_F(HdaClientFlowTest, TimesGivenAsTextAreWrittenBackAsTheTimesRead) {
  auto server = CreateServer();
  const OPCHANDLE handle = GetHandles(server.Get(), {hourly}, {3})[0];
  auto sync = As<IOPCHDA_SyncRead>(server);
  std::u16string from = u"HOUR-3H", to = u"HOUR";
  OPCHDA_TIME start{TRUE, from.data(), {}}, end{TRUE, to.data(), {}};
  THdaItemCopy item;
  HRESULT error = E_FAIL;
  ASSERT_EQ(SyncRead(sync.Get(), start, end, 0, false, handle, item, error), S_OK);
  const int64_t current = sim::PeriodIndex(sim::EPeriod::Hour, clock.Now());
  EXPECT_EQ(FileTimeToInt64(start.ftTime), FileTimeToInt64(LocalDateTimeToFileTime(H(current - 3))));
  EXPECT_EQ(FileTimeToInt64(end.ftTime), FileTimeToInt64(LocalDateTimeToFileTime(H(current))));
  EXPECT_EQ(error, S_OK);
  ExpectValues(item, {Rec(current - 3), Rec(current - 2), Rec(current - 1)});
}

TEST_F(HdaClientFlowTest, EachClientGetsItsOwnHandlesBack) {
  auto first = CreateServer();
  auto second = CreateServer();
  auto firstSink = AdviseSink(first.Get());
  const OPCHANDLE handle = GetHandles(first.Get(), {hourly, daily}, {101, 102})[0];
  // The second client names the same item after the first, with a handle of its own.
  EXPECT_EQ(GetHandles(second.Get(), {hourly}, {201})[0], handle);

  OPCHDA_TIME start = AbsoluteTime(H(b)), end = AbsoluteTime(H(b + 2));
  THdaItemCopy item;
  HRESULT error = E_FAIL;
  ASSERT_EQ(SyncRead(As<IOPCHDA_SyncRead>(first).Get(), start, end, 0, false, handle, item, error), S_OK);
  EXPECT_EQ(item.client, 101u);
  ASSERT_EQ(SyncRead(As<IOPCHDA_SyncRead>(second).Get(), start, end, 0, false, handle, item, error), S_OK);
  EXPECT_EQ(item.client, 201u);
  ExpectValues(item, {Rec(b), Rec(b + 1)});

  DWORD cancelId = 0;
  HRESULT* errors = nullptr;
  OPCHANDLE one = handle;
  ASSERT_EQ(As<IOPCHDA_AsyncRead>(first)->ReadRaw(1, &start, &end, 0, FALSE, 1, &one, &cancelId, &errors),
            S_OK);
  CoTaskMemFree(errors);
  DWORD attribute = OPCHDA_DESCRIPTION;
  ASSERT_EQ(As<IOPCHDA_AsyncRead>(first)->ReadAttribute(2, nullptr, nullptr, handle, 1, &attribute, &cancelId,
                                                        &errors),
            S_OK);
  CoTaskMemFree(errors);
  ASSERT_TRUE(
      PumpUntil([&] { return firstSink->Reads().size() == 1 && firstSink->Attributes().size() == 1; }));
  EXPECT_EQ(firstSink->Reads()[0].item.client, 101u);
  EXPECT_EQ(firstSink->Attributes()[0].client, 101u);

  // A released handle takes the client's label with it; the other client keeps its own.
  HRESULT* released = nullptr;
  ASSERT_EQ(second->ReleaseItemHandles(1, &one, &released), S_OK);
  CoTaskMemFree(released);
  ASSERT_EQ(SyncRead(As<IOPCHDA_SyncRead>(second).Get(), start, end, 0, false, handle, item, error), S_OK);
  EXPECT_EQ(item.client, 0u);
  ASSERT_EQ(SyncRead(As<IOPCHDA_SyncRead>(first).Get(), start, end, 0, false, handle, item, error), S_OK);
  EXPECT_EQ(item.client, 101u);
}

TEST_F(HdaClientFlowTest, CancelIsConfirmedAndNothingOfTheReadFollows) {
  auto server = CreateServer();
  auto sink = AdviseSink(server.Get());
  const OPCHANDLE handle = GetHandles(server.Get(), {hourly}, {5})[0];
  auto async = As<IOPCHDA_AsyncRead>(server);
  OPCHDA_TIME start = AbsoluteTime(H(b)), end = AbsoluteTime(H(b + 4));
  OPCHANDLE one = handle;
  DWORD cancelled = 0, later = 0, subscription = 0;
  HRESULT* errors = nullptr;
  ASSERT_EQ(async->ReadRaw(1, &start, &end, 0, FALSE, 1, &one, &cancelled, &errors), S_OK);
  CoTaskMemFree(errors);
  ASSERT_EQ(async->AdviseRaw(3, &start, Int64ToFileTime(10'000'000), 1, &one, &subscription, &errors), S_OK);
  CoTaskMemFree(errors);
  ASSERT_EQ(async->Cancel(cancelled), S_OK);
  EXPECT_TRUE(sink->Cancels().empty());  // told after the call, as a completion is
  ASSERT_EQ(async->ReadRaw(2, &start, &end, 0, FALSE, 1, &one, &later, &errors), S_OK);
  CoTaskMemFree(errors);

  // The read asked for after the cancel comes; the cancelled one never does.
  ASSERT_TRUE(PumpUntil([&] { return !sink->Reads().empty() && !sink->Changes().empty(); }));
  EXPECT_EQ(sink->Cancels(), std::vector<DWORD>{cancelled});
  const auto reads = sink->Reads();
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_EQ(reads[0].transaction, 2u);
  // A read answered whole is no longer there to cancel; a subscription is until cancelled.
  EXPECT_EQ(async->Cancel(later), E_FAIL);
  ASSERT_EQ(async->Cancel(subscription), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return sink->Cancels().size() == 2; }));
  const size_t changes = sink->Changes().size();
  // Nothing of the subscription reaches the client after its cancel was confirmed.
  ASSERT_EQ(async->ReadRaw(4, &start, &end, 0, FALSE, 1, &one, &later, &errors), S_OK);
  CoTaskMemFree(errors);
  ASSERT_TRUE(PumpUntil([&] { return sink->Reads().size() == 2; }));
  EXPECT_EQ(sink->Changes().size(), changes);
  EXPECT_EQ(sink->Cancels(), (std::vector<DWORD>{cancelled, subscription}));
}

TEST_F(HdaClientFlowTest, AReadGivenUpAtTheLimitGivesItsTransactionBackAndItsLateResultToNoOne) {
  // Only one transaction number is left, so a number lost for ever would fail every later read.
  TAsyncEngine& engine = reading->Engine();
  int32_t last = -1;
  for (int32_t n = engine.AllocTransaction(); n >= 0; n = engine.AllocTransaction()) last = n;
  ASSERT_TRUE(engine.SetTransactionState(last, 0));

  ctx->syncReadLimit = std::chrono::seconds(20);
  line.Faults().Update([](sim::TFaults& f) { f.replyDelayMs = 60'000; });
  auto keeper = CreateServer();
  const OPCHANDLE dailyHandle = GetHandles(keeper.Get(), {daily}, {2})[0];
  {
    // The client gives up on its read and goes before the meter answers.
    auto server = CreateServer();
    const OPCHANDLE handle = GetHandles(server.Get(), {hourly}, {1})[0];
    OPCHDA_TIME start = AbsoluteTime(H(b)), end = AbsoluteTime(H(b + 3));
    THdaItemCopy item;
    HRESULT error = S_OK;
    ASSERT_EQ(SyncRead(As<IOPCHDA_SyncRead>(server).Get(), start, end, 0, false, handle, item, error),
              S_FALSE);
    EXPECT_EQ(error, kTimedOut);
  }

  // Once the meter answers again, the number comes back and the next read gets its own records.
  line.Faults().Update([](sim::TFaults& f) { f.replyDelayMs = 0; });
  const int64_t day = sim::PeriodIndex(sim::EPeriod::Day, kHdaStart);
  const TDateTime from = sim::PeriodStart(sim::EPeriod::Day, day - 4);
  const TDateTime to = sim::PeriodStart(sim::EPeriod::Day, day - 1);
  OPCHDA_TIME dayStart = AbsoluteTime(from), dayEnd = AbsoluteTime(to);
  auto sync = As<IOPCHDA_SyncRead>(keeper);
  THdaItemCopy item;
  HRESULT error = E_FAIL;
  ASSERT_TRUE(PumpUntil(
      [&] { return SyncRead(sync.Get(), dayStart, dayEnd, 0, false, dailyHandle, item, error) == S_OK; }));
  EXPECT_EQ(error, S_OK);
  EXPECT_EQ(item.client, 2u);
  ExpectArchive(item, sim::EPeriod::Day, ExpectedIndices(sim::EPeriod::Day, 45, clock.Now(), from, to));
}

}  // namespace
}  // namespace orvela::test
