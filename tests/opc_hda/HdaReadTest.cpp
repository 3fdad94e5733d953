// HDA reads through the server's interfaces against a simulated Tarvel 2001 meter: raw archive windows
// (synchronous and asynchronous), subscriptions and their cancels, attributes, and what is not offered.
#include <gtest/gtest.h>

#include <algorithm>

#include "opc_hda/HdaTestSupport.h"
#include "platform/Cp1251.h"

namespace orvela::test {
namespace {

constexpr HRESULT kTimedOut = HRESULT_FROM_WIN32(1460);
constexpr OPCHANDLE kBadHandle = 0x7FFFFFF;
const FILETIME kOneSecond = Int64ToFileTime(10'000'000);

class HdaReadTest : public HdaServerTest {
 protected:
  // Client handles for the nodes, as a client sets them before reading.
  void SetClientHandles(IOPCHDA_Server* server, std::vector<std::pair<TNTreeData*, OPCHANDLE>> nodes) {
    std::vector<std::u16string> texts;
    std::vector<LPWSTR> ids;
    std::vector<OPCHANDLE> clients;
    for (auto& [node, client] : nodes) texts.push_back(Utf8ToUtf16(node->Path));
    for (size_t i = 0; i < nodes.size(); ++i) {
      ids.push_back(texts[i].data());
      clients.push_back(nodes[i].second);
    }
    OPCHANDLE* handles = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(
        server->GetItemHandles(static_cast<DWORD>(ids.size()), ids.data(), clients.data(), &handles, &errors),
        S_OK);
    CoTaskMemFree(handles);
    CoTaskMemFree(errors);
  }

  template <class I>
  TComPtr<I> As(const TComPtr<IOPCHDA_Server>& server) {
    TComPtr<I> out;
    EXPECT_EQ(server.As(out), S_OK);
    return out;
  }

  // One synchronous ReadRaw; the items copied and freed.
  HRESULT ReadRaw(IOPCHDA_SyncRead* reader, OPCHDA_TIME start, OPCHDA_TIME end,
                  std::vector<OPCHANDLE> handles, std::vector<THdaItemCopy>& items,
                  std::vector<HRESULT>& errors, DWORD maxValues = 0) {
    OPCHDA_ITEM* values = nullptr;
    HRESULT* errs = nullptr;
    const auto n = static_cast<DWORD>(handles.size());
    const HRESULT hr = reader->ReadRaw(&start, &end, maxValues, FALSE, n, handles.data(), &values, &errs);
    items.clear();
    errors.clear();
    if (SUCCEEDED(hr)) {
      for (DWORD i = 0; i < n; ++i) {
        items.push_back(CopyItem(values[i]));
        errors.push_back(errs[i]);
      }
      FreeItems(values, n);
      CoTaskMemFree(errs);
    }
    return hr;
  }
};

TEST_F(HdaReadTest, SyncReadRawGivesEachItemItsRecordsFromTheStartUpToTheEnd) {
  auto server = CreateServer();
  SetClientHandles(server.Get(), {{hourly, 11}, {daily, 12}});
  auto reader = As<IOPCHDA_SyncRead>(server);
  std::vector<THdaItemCopy> items;
  std::vector<HRESULT> errors;

  // Eight hours from midnight: the record at the start is given, the one at the end is not.
  const int64_t hour = sim::PeriodIndex(sim::EPeriod::Hour, kHdaStart);
  TDateTime end = sim::PeriodStart(sim::EPeriod::Hour, hour - 2), start = end - 8.0 / 24;
  ASSERT_EQ(ReadRaw(reader.Get(), AbsoluteTime(start), AbsoluteTime(end),
                    {Handle(hourly), kBadHandle, Handle(daily)}, items, errors),
            S_FALSE);
  const auto hours = ExpectedIndices(sim::EPeriod::Hour, 72, clock.Now(), start, end);
  const auto dayOf = ExpectedIndices(sim::EPeriod::Day, 45, clock.Now(), start, end);
  EXPECT_EQ(errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, dayOf.empty() ? OPC_S_NODATA : S_OK}));
  EXPECT_EQ(items[0].client, 11u);
  ASSERT_EQ(hours.size(), 8u);
  ExpectArchive(items[0], sim::EPeriod::Hour, hours);
  EXPECT_TRUE(items[1].values.empty());
  EXPECT_EQ(items[2].client, 12u);
  ExpectArchive(items[2], sim::EPeriod::Day, dayOf);
  EXPECT_EQ(logs.JournalCount("HDARead: Параметр не Найден - " + std::to_string(kBadHandle)), 1);

  // Four whole days.
  const int64_t day = sim::PeriodIndex(sim::EPeriod::Day, kHdaStart);
  start = sim::PeriodStart(sim::EPeriod::Day, day - 5);
  end = sim::PeriodStart(sim::EPeriod::Day, day - 1);
  ASSERT_EQ(ReadRaw(reader.Get(), AbsoluteTime(start), AbsoluteTime(end), {Handle(daily)}, items, errors),
            S_OK);
  const auto days = ExpectedIndices(sim::EPeriod::Day, 45, clock.Now(), start, end);
  ASSERT_EQ(days.size(), 4u);
  ExpectArchive(items[0], sim::EPeriod::Day, days);

  // A time text that does not parse is the caller's error.
  std::u16string bad = u"YESTERDAY";
  EXPECT_EQ(ReadRaw(reader.Get(), OPCHDA_TIME{TRUE, bad.data(), {}}, AbsoluteTime(end), {Handle(daily)},
                    items, errors),
            E_INVALIDARG);
}

TEST_F(HdaReadTest, SyncReadRawGivesUpAtTheLimitWithTheItemsError) {
  ctx->syncReadLimit = std::chrono::seconds(30);
  line.Faults().Update([](sim::TFaults& f) { f.replyDelayMs = 3'600'000; });
  auto server = CreateServer();
  auto reader = As<IOPCHDA_SyncRead>(server);
  std::vector<THdaItemCopy> items;
  std::vector<HRESULT> errors;
  const TDateTime now = clock.Now();
  ASSERT_EQ(ReadRaw(reader.Get(), AbsoluteTime(now - 1), AbsoluteTime(now), {Handle(hourly), kBadHandle},
                    items, errors),
            S_FALSE);
  EXPECT_EQ(errors, (std::vector<HRESULT>{kTimedOut, OPC_E_INVALIDHANDLE}));
  EXPECT_TRUE(items[0].values.empty());
}

TEST_F(HdaReadTest, AsyncReadRawCallsBackEachItemAcrossTheRingsWrap) {
  auto server = CreateServer();
  auto sink = AdviseSink(server.Get());
  SetClientHandles(server.Get(), {{hourly, 21}, {daily, 22}});
  auto reader = As<IOPCHDA_AsyncRead>(server);

  // The hourly ring (72 records) wraps at indices divisible by 72: the window holds positions 70 to 2.
  const int64_t newest = sim::PeriodIndex(sim::EPeriod::Hour, clock.Now()) - 1;
  const int64_t wrap = newest - newest % 72;
  ASSERT_GE(wrap - 2, newest - 71);
  ASSERT_LE(wrap + 2, newest);
  const TDateTime start = sim::PeriodStart(sim::EPeriod::Hour, wrap - 2);
  const TDateTime end = sim::PeriodStart(sim::EPeriod::Hour, wrap + 3);
  OPCHDA_TIME s = AbsoluteTime(start), e = AbsoluteTime(end);
  OPCHANDLE handles[] = {Handle(hourly), kBadHandle, Handle(daily)};
  DWORD cancelId = 99;
  HRESULT* errors = nullptr;
  ASSERT_EQ(reader->ReadRaw(77, &s, &e, 0, FALSE, 3, handles, &cancelId, &errors), S_FALSE);
  EXPECT_EQ((std::vector<HRESULT>{errors[0], errors[1], errors[2]}),
            (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, S_OK}));
  CoTaskMemFree(errors);
  EXPECT_EQ(cancelId, 0u);  // the first id of a fresh object

  ASSERT_TRUE(PumpUntil([&] { return sink->Reads().size() == 2; }));
  for (const THdaDelivery& d : sink->Reads()) {
    EXPECT_EQ(d.transaction, 77u);
    EXPECT_EQ(d.status, S_OK);
    const bool isHourly = d.item.client == 21;
    SCOPED_TRACE(isHourly ? "hourly" : "daily");
    const auto period = isHourly ? sim::EPeriod::Hour : sim::EPeriod::Day;
    const auto expected = ExpectedIndices(period, isHourly ? 72 : 45, clock.Now(), start, end);
    EXPECT_EQ(d.error, expected.empty() ? OPC_S_NODATA : S_OK);
    if (isHourly) {
      EXPECT_EQ(expected.size(), 5u);
    }
    ExpectArchive(d.item, period, expected);
  }
  const auto work = logs.Work();
  EXPECT_EQ(std::count(work.begin(), work.end(), "Дана задача на чтение"), 1);
  EXPECT_EQ(logs.JournalCount("HDA Чтение: "), 2);
}

TEST_F(HdaReadTest, SubscriptionsDeliverEveryIntervalUntilTheirOwnObjectCancelsThem) {
  auto first = CreateServer();
  auto second = CreateServer();
  auto firstSink = AdviseSink(first.Get());
  auto secondSink = AdviseSink(second.Get());
  SetClientHandles(first.Get(), {{hourly, 31}, {daily, 32}});
  auto firstReader = As<IOPCHDA_AsyncRead>(first);
  auto secondReader = As<IOPCHDA_AsyncRead>(second);

  // A start given as text, whose buffer the client reuses as soon as the call returns.
  std::u16string text = u"HOUR-5H";
  OPCHDA_TIME start{TRUE, text.data(), {}};
  OPCHANDLE both[] = {Handle(hourly), Handle(daily)};
  DWORD firstId = 99, secondId = 99;
  HRESULT* errors = nullptr;
  ASSERT_EQ(firstReader->AdviseRaw(5, &start, kOneSecond, 2, both, &firstId, &errors), S_OK);
  CoTaskMemFree(errors);
  text.assign(text.size(), u'X');
  const TDateTime from =
      sim::PeriodStart(sim::EPeriod::Hour, sim::PeriodIndex(sim::EPeriod::Hour, kHdaStart) - 5);
  OPCHDA_TIME secondStart = AbsoluteTime(from);
  ASSERT_EQ(secondReader->AdviseRaw(6, &secondStart, kOneSecond, 1, both, &secondId, &errors), S_OK);
  CoTaskMemFree(errors);
  EXPECT_EQ(firstId, 0u);
  EXPECT_EQ(secondId, 0u);  // the same id as the first object's: cancels must not mix them up

  ASSERT_TRUE(
      PumpUntil([&] { return firstSink->Changes().size() >= 4 && secondSink->Changes().size() >= 2; }));
  const auto changes = firstSink->Changes();
  const auto firstHourly =
      std::find_if(changes.begin(), changes.end(), [](auto& d) { return d.item.client == 31; });
  ASSERT_NE(firstHourly, changes.end());
  EXPECT_EQ(firstHourly->transaction, 5u);
  const auto expected = ExpectedIndices(sim::EPeriod::Hour, 72, clock.Now(), from, clock.Now());
  EXPECT_EQ(expected.size(), 5u);  // the record at the start among them
  ExpectArchive(firstHourly->item, sim::EPeriod::Hour, expected);
  // Both items deliver on every run.
  EXPECT_GE(std::count_if(changes.begin(), changes.end(), [](auto& d) { return d.item.client == 32; }), 2);
  // Each run reads on from the newest record delivered: no record reaches the client twice.
  for (OPCHANDLE client : {31u, 32u}) {
    uint64_t newest = 0;
    for (const auto& d : changes) {
      if (d.item.client != client) continue;
      for (const FILETIME& t : d.item.times) {
        const uint64_t at = (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
        EXPECT_GT(at, newest) << "client " << client;
        newest = at;
      }
    }
  }

  ASSERT_EQ(firstReader->Cancel(firstId), S_OK);
  EXPECT_EQ(firstReader->Cancel(firstId), E_FAIL);
  EXPECT_EQ(firstReader->Cancel(12345), E_FAIL);
  // Once a run has started after the cancel, nothing more reaches the first client; the second one's
  // subscription of the same id goes on.
  size_t seen = secondSink->Changes().size();
  ASSERT_TRUE(PumpUntil([&] { return secondSink->Changes().size() >= seen + 2; }));
  const size_t firstCount = firstSink->Changes().size();
  seen = secondSink->Changes().size();
  ASSERT_TRUE(PumpUntil([&] { return secondSink->Changes().size() >= seen + 3; }));
  EXPECT_EQ(firstSink->Changes().size(), firstCount);
  EXPECT_EQ(reading->Engine().TaskTableSize(), 1u);
}

TEST_F(HdaReadTest, SubscriptionOfAClientThatHasGoneIsDropped) {
  auto server = CreateServer();
  auto sink = AdviseSink(server.Get());
  auto reader = As<IOPCHDA_AsyncRead>(server);
  OPCHDA_TIME start = AbsoluteTime(clock.Now() - 0.25);
  OPCHANDLE handles[] = {Handle(hourly)};
  DWORD id = 0;
  HRESULT* errors = nullptr;
  ASSERT_EQ(reader->AdviseRaw(1, &start, kOneSecond, 1, handles, &id, &errors), S_OK);
  CoTaskMemFree(errors);
  ASSERT_TRUE(PumpUntil([&] { return !sink->Changes().empty(); }));
  // The client's process went away: its callback is disconnected.
  ASSERT_EQ(CoDisconnectObject(sink->Identity(), 0), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return reading->Engine().TaskTableSize() == 0; }));
  EXPECT_TRUE(reading->Engine().Running());
}

TEST_F(HdaReadTest, ReleasingTheLastServerWhileAReaderCallsItsClientBack) {
  auto server = CreateServer();
  auto sink = AdviseSink(server.Get());
  auto reader = As<IOPCHDA_AsyncRead>(server);
  OPCHDA_TIME start = AbsoluteTime(clock.Now() - 0.25);
  OPCHANDLE handles[] = {Handle(hourly)};
  DWORD id = 0;
  HRESULT* errors = nullptr;
  ASSERT_EQ(reader->AdviseRaw(1, &start, kOneSecond, 1, handles, &id, &errors), S_OK);
  CoTaskMemFree(errors);
  ASSERT_TRUE(PumpUntil([&] { return !sink->Changes().empty(); }));
  // Not serving calls for a while: the next delivery waits for this thread.
  clock.Sleep(20'000);
  const size_t delivered = sink->Changes().size();
  reader.Reset();
  server.Reset();  // the engine stops and joins its readers, serving the waiting one
  EXPECT_FALSE(reading->Engine().Running());
  EXPECT_GE(sink->Changes().size(), delivered);
}

TEST_F(HdaReadTest, AttributesAnsweredFromTheNodeSyncAndAsync) {
  auto server = CreateServer();
  auto sink = AdviseSink(server.Get());
  SetClientHandles(server.Get(), {{hourly, 41}});
  const TVariant description = hourly->Attributes[asDescription].Value;
  const TVariant dataType = hourly->Attributes[asDataType].Value;
  ASSERT_EQ(description.vt, VT_BSTR);
  DWORD ids[] = {OPCHDA_DESCRIPTION, OPCHDA_NORMAL_MAXIMUM, OPCHDA_DATA_TYPE};

  auto sync = As<IOPCHDA_SyncRead>(server);
  OPCHDA_TIME start{TRUE, nullptr, {}}, end{TRUE, nullptr, Int64ToFileTime(5)};
  OPCHDA_ATTRIBUTE* values = nullptr;
  HRESULT* errors = nullptr;
  ASSERT_EQ(sync->ReadAttribute(&start, &end, Handle(hourly), 3, ids, &values, &errors), S_FALSE);
  EXPECT_EQ((std::vector<HRESULT>{errors[0], errors[1], errors[2]}),
            (std::vector<HRESULT>{OPC_S_CURRENTVALUE, OPC_E_INVALIDATTRID, OPC_S_CURRENTVALUE}));
  std::vector<TVariant> got;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(values[i].dwAttributeID, ids[i]);
    EXPECT_EQ(values[i].dwNumValues, i == 1 ? 0u : 1u);
    EXPECT_EQ(values[i].hClient, i == 1 ? 0u : 41u);
    TVariant v;
    if (values[i].dwNumValues) VariantToTVariant(values[i].vAttributeValues[0], v);
    got.push_back(v);
    VariantClear(values[i].vAttributeValues);
    CoTaskMemFree(values[i].vAttributeValues);
    CoTaskMemFree(values[i].ftTimeStamps);
  }
  CoTaskMemFree(values);
  CoTaskMemFree(errors);
  EXPECT_EQ(got[0], description);
  EXPECT_EQ(got[2], dataType);
  // The times say the answer is a current value.
  EXPECT_FALSE(start.bString);
  EXPECT_NE(FileTimeToInt64(start.ftTime), 0);
  EXPECT_EQ(FileTimeToInt64(end.ftTime), 0);
  EXPECT_EQ(sync->ReadAttribute(nullptr, nullptr, kBadHandle, 3, ids, &values, &errors), OPC_E_INVALIDHANDLE);
  EXPECT_EQ(values, nullptr);

  auto async = As<IOPCHDA_AsyncRead>(server);
  DWORD cancelId = 0;
  ASSERT_EQ(async->ReadAttribute(9, nullptr, nullptr, Handle(hourly), 3, ids, &cancelId, &errors), S_FALSE);
  EXPECT_EQ(errors[1], OPC_E_INVALIDATTRID);
  CoTaskMemFree(errors);
  ASSERT_EQ(async->ReadAttribute(10, nullptr, nullptr, kBadHandle, 1, ids, &cancelId, &errors), S_FALSE);
  EXPECT_EQ(errors[0], OPC_E_INVALIDHANDLE);
  CoTaskMemFree(errors);
  ASSERT_TRUE(PumpUntil([&] { return !sink->Attributes().empty(); }));
  const auto answer = sink->Attributes().front();
  EXPECT_EQ(answer.transaction, 9u);
  EXPECT_EQ(answer.client, 41u);
  EXPECT_EQ(answer.ids, (std::vector<DWORD>{ids[0], ids[1], ids[2]}));
  EXPECT_EQ(answer.errors,
            (std::vector<HRESULT>{OPC_S_CURRENTVALUE, OPC_E_INVALIDATTRID, OPC_S_CURRENTVALUE}));
  EXPECT_EQ(answer.values[0], description);
  server.Reset();  // waits for the attribute threads
  async.Reset();
  sync.Reset();
  EXPECT_EQ(sink->Attributes().size(), 1u);  // nothing for the unknown handle
}

TEST_F(HdaReadTest, WhatIsNotOfferedSaysSoAndCancelIdsAreNeverReused) {
  auto server = CreateServer();
  auto sync = As<IOPCHDA_SyncRead>(server);
  auto async = As<IOPCHDA_AsyncRead>(server);
  const TDateTime now = clock.Now();
  OPCHDA_TIME s = AbsoluteTime(now - 1), e = AbsoluteTime(now);
  OPCHANDLE handles[] = {Handle(hourly), kBadHandle};
  DWORD aggregates[] = {OPCHDA_TOTAL, 99};
  FILETIME stamps[] = {LocalDateTimeToFileTime(now - 0.5)};
  DWORD id = 7;
  HRESULT* errors = reinterpret_cast<HRESULT*>(1);

  // Without a data callback no asynchronous request is taken.
  EXPECT_EQ(async->ReadRaw(1, &s, &e, 0, FALSE, 1, handles, &id, &errors), CONNECT_E_NOCONNECTION);
  auto sink = AdviseSink(server.Get());

  OPCHDA_MODIFIEDITEM* modified = nullptr;
  const HRESULT notOffered[] = {
      async->ReadProcessed(1, &s, &e, kOneSecond, 1, handles, aggregates, &id, &errors),
      async->AdviseProcessed(1, &s, kOneSecond, 1, handles, aggregates, 5, &id, &errors),
      async->ReadAtTime(1, 1, stamps, 1, handles, &id, &errors),
      async->ReadModified(1, &s, &e, 0, 1, handles, &id, &errors),
      sync->ReadModified(&s, &e, 0, 1, handles, &modified, &errors),
  };
  for (HRESULT hr : notOffered) EXPECT_EQ(hr, E_NOTIMPL);
  EXPECT_EQ(errors, nullptr);

  // The synchronous forms answer at once, without values.
  OPCHDA_ITEM* items = nullptr;
  ASSERT_EQ(sync->ReadAtTime(1, stamps, 2, handles, &items, &errors), S_FALSE);
  EXPECT_EQ((std::vector<HRESULT>{errors[0], errors[1]}),
            (std::vector<HRESULT>{OPC_S_NODATA, OPC_E_INVALIDHANDLE}));
  EXPECT_EQ(items[0].dwCount, 0u);
  FreeItems(items, 2);
  CoTaskMemFree(errors);
  OPCHANDLE one[] = {Handle(hourly), Handle(hourly)};
  ASSERT_EQ(sync->ReadProcessed(&s, &e, kOneSecond, 2, one, aggregates, &items, &errors), S_FALSE);
  EXPECT_EQ((std::vector<HRESULT>{errors[0], errors[1]}),
            (std::vector<HRESULT>{OPC_S_NODATA, OPC_E_INVALIDAGGREGATE}));
  FreeItems(items, 2);
  CoTaskMemFree(errors);
  EXPECT_EQ(sync->ReadProcessed(&s, &s, kOneSecond, 2, one, aggregates, &items, &errors), E_INVALIDARG);

  // Ids go up from 0; a cancelled one is not issued again.
  DWORD attribute = OPCHDA_DESCRIPTION;
  std::vector<DWORD> issued;
  for (int i = 0; i < 3; ++i) {
    if (i == 1) {
      ASSERT_EQ(async->ReadAttribute(1, nullptr, nullptr, Handle(hourly), 1, &attribute, &id, &errors), S_OK);
    } else {
      ASSERT_EQ(async->ReadRaw(1, &s, &e, 0, FALSE, 1, handles, &id, &errors), S_OK);
    }
    CoTaskMemFree(errors);
    issued.push_back(id);
    if (i == 0) {
      EXPECT_EQ(async->Cancel(id), S_OK);
    }
  }
  EXPECT_EQ(issued, (std::vector<DWORD>{0, 1, 2}));
  EXPECT_EQ(async->AdviseRaw(1, &s, FILETIME{}, 1, handles, &id, &errors), E_INVALIDARG);
}

}  // namespace
}  // namespace orvela::test
