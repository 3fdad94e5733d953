// Client flows of an OPC DA 2.05a client, as the compliance cases drive a server: group management
// through the interface the client asks for, the subscription (transaction 0, changes only, nothing for
// inactive items or groups), refresh, asynchronous read and cancel, and requested data types. Values
// come from the simulated meter through the engine.
#include <cmath>
#include <map>
#include <set>

#include "opc_da/DaTestSupport.h"

namespace orvela::test {
namespace {

const uint8_t kParams[] = {0x00, 0x03};

class DaClientFlow : public DaServerFixture {
 protected:
  DaClientFlow() { nodes = AddMeter(key, {kParams[0], kParams[1]}); }

  OPCHANDLE Handle(size_t i) const { return static_cast<OPCHANDLE>(nodes[i]->Handle); }

  // The meter shows whole minutes; a read may cross one.
  bool MeterValue(size_t i, double value, TDateTime before, TDateTime after) const {
    const float v = static_cast<float>(value);
    return v == sim::CurrentValue(kDaSerial, kParams[i], before) ||
           v == sim::CurrentValue(kDaSerial, kParams[i], after);
  }

  static std::vector<TDaDelivery> Of(const TDataSink& sink, OPCHANDLE client) {
    std::vector<TDaDelivery> out;
    for (const auto& d : sink.Deliveries())
      if (d.client == client && d.kind == TDaDelivery::Change) out.push_back(d);
    return out;
  }

  std::vector<TNTreeData*> nodes;
};

// ---- Group management -----------------------------------------------------------------------------

TEST_F(DaClientFlow, AddGroupAnswersWithTheInterfaceAskedFor) {
  auto server = NewServer();
  struct TCase {
    const char* what;
    IID iid;
    HRESULT hr;
  };
  const TCase cases[] = {
      {"item management", IID_IOPCItemMgt, S_OK},
      {"group state", IID_IOPCGroupStateMgt, S_OK},
      {"synchronous IO", IID_IOPCSyncIO, S_OK},
      {"asynchronous IO 2", IID_IOPCAsyncIO2, S_OK},
      {"no group interface", IID_IOPCServer, E_NOINTERFACE},
      {"DA 1.0 asynchronous IO", IID_IOPCAsyncIO, E_NOINTERFACE},
  };
  int n = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::u16string name = u"G" + Utf8ToUtf16(std::to_string(++n));
    OPCHANDLE handle = 77;
    DWORD revised = 0;
    IUnknown* unk = nullptr;
    ASSERT_EQ(
        server->AddGroup(name.c_str(), FALSE, 2000, 1, nullptr, nullptr, 0, &handle, &revised, c.iid, &unk),
        c.hr);
    TComPtr<IUnknown> held;
    held.Attach(unk);
    TComPtr<IUnknown> found;
    const HRESULT byName = server->GetGroupByName(name.c_str(), IID_IUnknown, found.Put());
    if (FAILED(c.hr)) {
      // Nothing is left behind for a group the client could not use.
      EXPECT_EQ(unk, nullptr);
      EXPECT_EQ(handle, 0u);
      EXPECT_EQ(byName, E_INVALIDARG);
      continue;
    }
    ASSERT_NE(unk, nullptr);
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(byName, S_OK);
    // The pointer is the interface asked for: its own methods answer.
    void* same = nullptr;
    ASSERT_EQ(unk->QueryInterface(c.iid, &same), S_OK);
    EXPECT_EQ(same, unk);
    static_cast<IUnknown*>(same)->Release();
  }
  // Through the item-management pointer AddGroup gave, AddItems is called and works.
  OPCHANDLE handle = 0;
  DWORD revised = 0;
  TComPtr<IOPCItemMgt> mgt;
  ASSERT_EQ(server->AddGroup(u"Items", FALSE, 2000, 1, nullptr, nullptr, 0, &handle, &revised,
                             IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(mgt.Put())),
            S_OK);
  const TAddResult added = AddItems(mgt.Get(), {{Id(nodes[0]), 5}});
  EXPECT_EQ(added.hr, S_OK);
  EXPECT_EQ(added.results[0].hServer, Handle(0));
}

TEST_F(DaClientFlow, PercentDeadbandIsAShareBetweenZeroAndHundred) {
  auto server = NewServer();
  struct TCase {
    FLOAT deadband;
    HRESULT hr;
  };
  const TCase cases[] = {{0.0f, S_OK},          {12.5f, S_OK},          {100.0f, S_OK},
                         {-0.5f, E_INVALIDARG}, {100.5f, E_INVALIDARG}, {std::nanf(""), E_INVALIDARG}};
  int n = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.deadband);
    const std::u16string name = u"D" + Utf8ToUtf16(std::to_string(++n));
    FLOAT deadband = c.deadband;
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    TComPtr<IUnknown> unk;
    EXPECT_EQ(server->AddGroup(name.c_str(), FALSE, 2000, 1, nullptr, &deadband, 0, &handle, &revised,
                               IID_IUnknown, unk.Put()),
              c.hr);
    EXPECT_EQ(!unk, FAILED(c.hr));
  }
  TGroup group = AddGroup(server.Get(), u"S");
  auto state = group.As<IOPCGroupStateMgt>();
  FLOAT good = 40, bad = 150;
  BOOL active = TRUE;
  ASSERT_EQ(state->SetState(nullptr, nullptr, nullptr, nullptr, &good, nullptr, nullptr), S_OK);
  // A refused call changes nothing, not even the other fields it carried.
  EXPECT_EQ(state->SetState(nullptr, nullptr, &active, nullptr, &bad, nullptr, nullptr), E_INVALIDARG);
  DWORD rate = 0, lcid = 0;
  BOOL isActive = TRUE;
  LONG bias = 0;
  FLOAT deadband = 0;
  OPCHANDLE client = 0, serverHandle = 0;
  TTaskMem<WCHAR> name;
  ASSERT_EQ(state->GetState(&rate, &isActive, name.Put(), &bias, &deadband, &lcid, &client, &serverHandle),
            S_OK);
  EXPECT_EQ(deadband, 40.0f);
  EXPECT_EQ(isActive, FALSE);
}

// ---- Subscription ---------------------------------------------------------------------------------

TEST_F(DaClientFlow, ActiveGroupAdvisedBeforeItsItemsDeliversThemAndItemsAddedLater) {
  auto server = NewServer();
  TGroup group = AddGroup(server.Get(), u"A", 2000, TRUE, 66);
  auto sink = Make<TDataSink>();
  Advise(group, *sink.Get());
  auto mgt = group.As<IOPCItemMgt>();
  ASSERT_EQ(AddItems(mgt.Get(), {{Id(nodes[0]), 1}}).hr, S_OK);
  const TDateTime before = clock.Now();
  ASSERT_TRUE(PumpUntil([&] { return !Of(*sink.Get(), 1).empty(); }));
  ASSERT_EQ(AddItems(mgt.Get(), {{Id(nodes[1]), 2}}).hr, S_OK);
  ASSERT_TRUE(PumpUntil([&] { return !Of(*sink.Get(), 2).empty(); }));
  const TDateTime after = clock.Now();
  for (OPCHANDLE client : {1u, 2u}) {
    const TDaDelivery first = Of(*sink.Get(), client).front();
    EXPECT_EQ(first.tx, 0u);
    EXPECT_EQ(first.group, 66u);
    EXPECT_EQ(first.quality, OPC_QUALITY_GOOD);
    EXPECT_EQ(first.error, S_OK);
    EXPECT_TRUE(MeterValue(client - 1, first.value, before, after));
  }
}

TEST_F(DaClientFlow, SubscriptionSendsOnlyChangesAndNothingForInactiveItemsOrGroups) {
  auto server = NewServer();
  TGroup group = AddGroup(server.Get(), u"A", 2000, TRUE, 66);
  auto sink = Make<TDataSink>();
  Advise(group, *sink.Get());
  auto mgt = group.As<IOPCItemMgt>();
  ASSERT_EQ(AddItems(mgt.Get(), {{Id(nodes[0]), 1}, {Id(nodes[1]), 2}}).hr, S_OK);
  ASSERT_TRUE(PumpUntil([&] { return !Of(*sink.Get(), 1).empty() && !Of(*sink.Get(), 2).empty(); }));
  // Many updates: the meter is read each time, but an item is sent again only with another value.
  const size_t exchanges = line.Exchanges().size();
  PumpPeriods(40);
  ASSERT_TRUE(PumpUntil([&] { return line.Exchanges().size() > exchanges + 20; }));
  for (OPCHANDLE client : {1u, 2u}) {
    const auto got = Of(*sink.Get(), client);
    for (size_t i = 1; i < got.size(); ++i)
      EXPECT_TRUE(got[i].value != got[i - 1].value || got[i].quality != got[i - 1].quality) << i;
  }

  // An inactive item is sent nothing; set active again it is sent at once, changed or not.
  OPCHANDLE first = Handle(0);
  TTaskMem<HRESULT> off, on;
  ASSERT_EQ(mgt->SetActiveState(1, &first, FALSE, off.Put()), S_OK);
  PumpUntil([&] { return reading.Engine().TaskTableSize() == 1; });
  const size_t quietBefore = Of(*sink.Get(), 1).size();
  PumpPeriods(40);
  EXPECT_EQ(Of(*sink.Get(), 1).size(), quietBefore);
  ASSERT_EQ(mgt->SetActiveState(1, &first, TRUE, on.Put()), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return Of(*sink.Get(), 1).size() > quietBefore; }));

  // An inactive group is sent nothing and cannot be refreshed; set active again it sends every item.
  auto state = group.As<IOPCGroupStateMgt>();
  auto async = group.As<IOPCAsyncIO2>();
  BOOL inactive = FALSE, active = TRUE;
  ASSERT_EQ(state->SetState(nullptr, nullptr, &inactive, nullptr, nullptr, nullptr, nullptr), S_OK);
  PumpUntil([&] { return reading.Engine().TaskTableSize() == 0; });
  const size_t groupQuiet = sink->Count();
  DWORD cancelId = 5;
  EXPECT_EQ(async->Refresh2(OPC_DS_DEVICE, 9, &cancelId), E_FAIL);
  PumpPeriods(40);
  EXPECT_EQ(sink->Count(), groupQuiet);
  ASSERT_EQ(state->SetState(nullptr, nullptr, &active, nullptr, nullptr, nullptr, nullptr), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return sink->Count() >= groupQuiet + 2; }));
  for (const auto& d : sink->Deliveries()) EXPECT_EQ(d.tx, 0u);
}

TEST_F(DaClientFlow, RefreshIsOneCallbackWithEveryActiveItemUnderTheClientsTransaction) {
  auto server = NewServer();
  TGroup group = AddGroup(server.Get(), u"A", 600'000, TRUE, 66);  // no periodic update meanwhile
  auto sink = Make<TDataSink>();
  auto async = group.As<IOPCAsyncIO2>();
  auto mgt = group.As<IOPCItemMgt>();
  ASSERT_EQ(
      AddItems(mgt.Get(), {{Id(nodes[0]), 1}, {Id(nodes[1]), 2}, {Id(nodes[0]), 3, VT_EMPTY, FALSE}}).hr,
      S_OK);
  DWORD cancelId = 0;
  EXPECT_EQ(async->Refresh2(OPC_DS_DEVICE, 9, &cancelId), CONNECT_E_NOCONNECTION);
  Advise(group, *sink.Get());
  // The subscription's first update goes first, so the refresh is told apart.
  ASSERT_TRUE(PumpUntil([&] { return sink->Count() >= 2; }));
  const size_t before = sink->Count();
  ASSERT_EQ(async->Refresh2(OPC_DS_DEVICE, 9, &cancelId), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return sink->Count() >= before + 2; }));
  PumpPeriods(5);
  std::vector<TDaDelivery> refresh;
  for (const auto& d : sink->Deliveries())
    if (d.tx == 9) refresh.push_back(d);
  // Once, both active items in one call, the inactive one left out.
  ASSERT_EQ(refresh.size(), 2u);
  EXPECT_EQ(refresh[0].call, refresh[1].call);
  EXPECT_EQ(refresh[0].kind, TDaDelivery::Change);
  std::set<OPCHANDLE> clients = {refresh[0].client, refresh[1].client};
  EXPECT_EQ(clients, (std::set<OPCHANDLE>{1, 2}));
  // A finished refresh cannot be cancelled.
  EXPECT_EQ(async->Cancel2(cancelId), E_FAIL);

  // A group with no active item has nothing to refresh.
  OPCHANDLE handles[] = {Handle(0), Handle(1)};
  TTaskMem<HRESULT> errors;
  ASSERT_EQ(mgt->SetActiveState(2, handles, FALSE, errors.Put()), S_OK);
  EXPECT_EQ(async->Refresh2(OPC_DS_DEVICE, 10, &cancelId), E_FAIL);
}

TEST_F(DaClientFlow, DisabledGroupSendsNoChangesButStillRefreshes) {
  auto server = NewServer();
  TGroup group = AddGroup(server.Get(), u"A", 2000, FALSE, 66);
  auto sink = Make<TDataSink>();
  Advise(group, *sink.Get());
  ASSERT_EQ(AddItems(group.As<IOPCItemMgt>().Get(), {{Id(nodes[0]), 1}, {Id(nodes[1]), 2}}).hr, S_OK);
  auto async = group.As<IOPCAsyncIO2>();
  ASSERT_EQ(async->SetEnable(FALSE), S_OK);
  BOOL enabled = TRUE, active = TRUE;
  ASSERT_EQ(async->GetEnable(&enabled), S_OK);
  EXPECT_EQ(enabled, FALSE);
  // Activation would send every item at once; disabled, the subscription stays silent.
  ASSERT_EQ(group.As<IOPCGroupStateMgt>()->SetState(nullptr, nullptr, &active, nullptr, nullptr, nullptr,
                                                    nullptr),
            S_OK);
  const size_t exchanges = line.Exchanges().size();
  ASSERT_TRUE(PumpUntil([&] { return line.Exchanges().size() > exchanges + 4; }));
  PumpPeriods(3);
  EXPECT_EQ(sink->Count(), 0u);
  DWORD cancelId = 0;
  ASSERT_EQ(async->Refresh2(OPC_DS_DEVICE, 12, &cancelId), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return sink->Count() >= 2; }));
  for (const auto& d : sink->Deliveries()) EXPECT_EQ(d.tx, 12u);
  // Enabled again, the items not yet sent by the subscription come with its next update.
  ASSERT_EQ(async->SetEnable(TRUE), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return sink->Count() >= 4; }));
  const auto got = sink->Deliveries();
  EXPECT_EQ(got[2].tx, 0u);
  EXPECT_EQ(got[3].tx, 0u);
}

TEST_F(DaClientFlow, ForcedRemovalSilencesAGroupTheClientStillHolds) {
  auto server = NewServer();
  TGroup group = AddGroup(server.Get(), u"A", 2000, TRUE, 66);
  auto sink = Make<TDataSink>();
  Advise(group, *sink.Get());
  ASSERT_EQ(AddItems(group.As<IOPCItemMgt>().Get(), {{Id(nodes[0]), 1}, {Id(nodes[1]), 2}}).hr, S_OK);
  ASSERT_TRUE(PumpUntil([&] { return sink->Count() >= 2; }));
  auto async = group.As<IOPCAsyncIO2>();  // the client keeps using its pointers
  ASSERT_EQ(server->RemoveGroup(group.handle, TRUE), S_OK);
  const size_t delivered = sink->Count();
  DWORD cancelId = 0;
  EXPECT_NE(async->Refresh2(OPC_DS_DEVICE, 3, &cancelId), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return reading.Engine().TaskTableSize() == 0; }));
  PumpPeriods(10);
  EXPECT_EQ(sink->Count(), delivered);
}

// ---- Asynchronous read and cancel -----------------------------------------------------------------

TEST_F(DaClientFlow, AsyncReadIsOneCallbackAndACancelledReadOnlyCancelComplete) {
  auto server = NewServer();
  TGroup group = AddGroup(server.Get(), u"A", 2000, FALSE, 55);
  ASSERT_EQ(AddItems(group.As<IOPCItemMgt>().Get(), {{Id(nodes[0]), 1}, {Id(nodes[1]), 2}}).hr, S_OK);
  auto sink = Make<TDataSink>();
  Advise(group, *sink.Get());
  auto async = group.As<IOPCAsyncIO2>();
  OPCHANDLE handles[] = {Handle(0), Handle(1)};
  DWORD cancelId = 0;
  TTaskMem<HRESULT> errors;
  const TDateTime before = clock.Now();
  ASSERT_EQ(async->Read(2, handles, 7, &cancelId, errors.Put()), S_OK);
  ASSERT_TRUE(PumpUntil([&] { return sink->Count() >= 2; }));
  const TDateTime after = clock.Now();
  const auto got = sink->Deliveries();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].call, got[1].call);  // one callback for the transaction
  for (const auto& d : got) {
    EXPECT_EQ(d.kind, TDaDelivery::Read);
    EXPECT_EQ(d.tx, 7u);
    EXPECT_EQ(d.group, 55u);
    EXPECT_EQ(d.quality, OPC_QUALITY_GOOD);
    EXPECT_TRUE(MeterValue(d.client - 1, d.value, before, after));
  }
  EXPECT_EQ(async->Cancel2(cancelId), E_FAIL);  // already answered
  EXPECT_EQ(async->Cancel2(123456), E_FAIL);    // never issued

  // A read the meter is slow to answer is cancelled: the client hears of the cancel and nothing else.
  line.Faults().Update([](sim::TFaults& f) { f.replyDelayMs = 3'600'000; });
  TTaskMem<HRESULT> slowErrors;
  ASSERT_EQ(async->Read(2, handles, 8, &cancelId, slowErrors.Put()), S_OK);
  ASSERT_EQ(async->Cancel2(cancelId), S_OK);
  EXPECT_EQ(async->Cancel2(cancelId), E_FAIL);
  ASSERT_TRUE(PumpUntil([&] { return sink->Count() >= 3; }));
  line.Faults().Update([](sim::TFaults& f) { f.replyDelayMs = 0; });
  PumpPeriods(5);
  const auto all = sink->Deliveries();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[2].kind, TDaDelivery::Cancel);
  EXPECT_EQ(all[2].tx, 8u);
  EXPECT_EQ(all[2].group, 55u);
}

// ---- Data types -----------------------------------------------------------------------------------

TEST_F(DaClientFlow, RequestedTypesAreWhatEveryReadGives) {
  auto server = NewServer();
  TGroup group = AddGroup(server.Get(), u"A", 600'000, FALSE, 55);
  auto mgt = group.As<IOPCItemMgt>();
  const VARTYPE canonical = static_cast<VARTYPE>(Attribute(*nodes[0], asDataType).Value.i);
  ASSERT_EQ(AddItems(mgt.Get(), {{Id(nodes[0]), 1, VT_BSTR}, {Id(nodes[1]), 2}}).hr, S_OK);
  auto sink = Make<TDataSink>();
  Advise(group, *sink.Get());
  auto sync = group.As<IOPCSyncIO>();
  auto async = group.As<IOPCAsyncIO2>();
  const OPCHANDLE handle = Handle(0);
  // The value as a read of either kind gives it to the client: its type, and its number.
  struct TRead {
    VARTYPE syncType, asyncType;
    double syncValue;
    HRESULT error;
    WORD quality;
  };
  const auto readBoth = [&](OPCHANDLE h) {
    TRead out{};
    TTaskMem<OPCITEMSTATE> states;
    TTaskMem<HRESULT> errors;
    OPCHANDLE one = h;
    sync->Read(OPC_DS_DEVICE, 1, &one, states.Put(), errors.Put());
    out.syncType = states[0].vDataValue.vt;
    out.error = errors[0];
    out.quality = states[0].wQuality;
    TComVariant number;
    if (SUCCEEDED(VariantChangeType(&number, &states[0].vDataValue, 0, VT_R8))) out.syncValue = number.dblVal;
    VariantClear(&states[0].vDataValue);
    const size_t seen = sink->Count();
    DWORD cancelId = 0;
    TTaskMem<HRESULT> asyncErrors;
    EXPECT_EQ(async->Read(1, &one, 4, &cancelId, asyncErrors.Put()), S_OK);
    EXPECT_TRUE(PumpUntil([&] { return sink->Count() > seen; }));
    out.asyncType = sink->Deliveries().back().vt;
    return out;
  };
  const auto near = [&](double value, double tolerance) {
    const TDateTime now = clock.Now();
    for (TDateTime t : {now, now - 1.0 / 1440})
      if (const double v = sim::CurrentValue(kDaSerial, kParams[0], t);
          std::abs(value - v) <= tolerance + 1e-6 * std::abs(v))  // a text keeps 7 digits of a float
        return true;
    return false;
  };
  // As asked at AddItems; the other item of the group in its canonical type.
  TRead text = readBoth(handle);
  EXPECT_EQ(text.syncType, VT_BSTR);
  EXPECT_EQ(text.asyncType, VT_BSTR);
  EXPECT_TRUE(near(text.syncValue, 1e-3));
  EXPECT_EQ(readBoth(Handle(1)).syncType, canonical);

  struct TCase {
    const char* what;
    VARTYPE requested;
    VARTYPE delivered;
    double tolerance;
  };
  const TCase cases[] = {
      {"canonical again", VT_EMPTY, canonical, 1e-3},
      {"double", VT_R8, VT_R8, 1e-3},
      {"whole number", VT_I4, VT_I4, 0.5},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    VARTYPE type = c.requested;
    TTaskMem<HRESULT> setErrors;
    ASSERT_EQ(mgt->SetDatatypes(1, const_cast<OPCHANDLE*>(&handle), &type, setErrors.Put()), S_OK);
    const TRead got = readBoth(handle);
    EXPECT_EQ(got.error, S_OK);
    EXPECT_EQ(got.syncType, c.delivered);
    EXPECT_EQ(got.asyncType, c.delivered);
    EXPECT_TRUE(near(got.syncValue, c.tolerance)) << got.syncValue;
  }

  // A type no value of the item converts to is refused.
  VARTYPE none = VT_DISPATCH;
  TTaskMem<HRESULT> refused;
  EXPECT_EQ(mgt->SetDatatypes(1, const_cast<OPCHANDLE*>(&handle), &none, refused.Put()), S_FALSE);
  EXPECT_EQ(refused[0], OPC_E_BADTYPE);

  // A value that does not fit the type asked for is that item's error at the read, with bad quality.
  VARTYPE tiny = VT_I1;
  TTaskMem<HRESULT> tinyErrors;
  ASSERT_EQ(mgt->SetDatatypes(1, const_cast<OPCHANDLE*>(&handle), &tiny, tinyErrors.Put()), S_OK);
  ASSERT_GT(std::abs(sim::CurrentValue(kDaSerial, kParams[0], clock.Now())), 128.0f);  // a counter
  const TRead tooBig = readBoth(handle);
  EXPECT_EQ(tooBig.error, OPC_E_RANGE);
  EXPECT_EQ(tooBig.quality, OPC_QUALITY_BAD);
  EXPECT_EQ(tooBig.syncType, VT_EMPTY);
  EXPECT_EQ(tooBig.asyncType, VT_EMPTY);
  EXPECT_EQ(sink->Deliveries().back().error, OPC_E_RANGE);
}

}  // namespace
}  // namespace orvela::test
