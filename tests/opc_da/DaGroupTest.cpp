// The DA server object and its groups as a client drives them through their interfaces: group life cycle,
// item management, enumerators, public groups, status and error texts, and the objects' own lives.
#include <set>

#include "opc_da/DaTestSupport.h"
#include "platform/com/ComSystem.h"

namespace orvela::test {
namespace {

class DaGroupTest : public DaServerFixture {
 protected:
  DaGroupTest() { nodes = AddMeter(key, {0x00, 0x03}); }

  std::vector<std::u16string> Names(IOPCServer* server, OPCENUMSCOPE scope) {
    TComPtr<IEnumString> names;
    EXPECT_EQ(
        server->CreateGroupEnumerator(scope, IID_IEnumString, reinterpret_cast<IUnknown**>(names.Put())),
        S_OK);
    std::vector<std::u16string> out;
    LPOLESTR name = nullptr;
    ULONG fetched = 0;
    while (names && names->Next(1, &name, &fetched) == S_OK) {
      out.push_back(name);
      CoTaskMemFree(name);
    }
    return out;
  }

  std::vector<TNTreeData*> nodes;
};

TEST_F(DaGroupTest, GroupsGetRevisedRatesUniqueNamesAndHandlesCountingAcrossServers) {
  auto server = NewServer();
  TGroup slow = AddGroup(server.Get(), u"A", 500);
  EXPECT_EQ(slow.hr, OPC_S_UNSUPPORTEDRATE);
  EXPECT_EQ(slow.revised, 2000u);
  EXPECT_EQ(slow.handle, 2u);  // the first group handle of the context
  TGroup fast = AddGroup(server.Get(), u"B", 3000);
  EXPECT_EQ(fast.hr, S_OK);
  EXPECT_EQ(fast.revised, 3000u);
  EXPECT_EQ(fast.handle, 3u);

  TGroup twin = AddGroup(server.Get(), u"A");
  EXPECT_EQ(twin.hr, OPC_E_DUPLICATENAME);
  EXPECT_EQ(twin.handle, 0u);
  EXPECT_FALSE(twin.unk);

  // Unnamed groups get the tick count, again and again while it is taken.
  TGroup first = AddGroup(server.Get(), u"");
  TGroup second = AddGroup(server.Get(), u"");
  ASSERT_EQ(first.hr, S_OK);
  ASSERT_EQ(second.hr, S_OK);
  auto names = Names(server.Get(), OPC_ENUM_PRIVATE);
  ASSERT_EQ(names.size(), 4u);
  EXPECT_EQ(names[0], u"A");
  EXPECT_EQ(names[1], u"B");
  EXPECT_FALSE(names[2].empty());
  EXPECT_NE(names[2], names[3]);

  // Another client's names are its own; the handles go on counting.
  auto other = NewServer();
  TGroup elsewhere = AddGroup(other.Get(), u"A");
  EXPECT_EQ(elsewhere.hr, S_OK);
  EXPECT_EQ(elsewhere.handle, 6u);

  // Without a time bias the group takes the zone's.
  TIME_ZONE_INFORMATION zone{};
  GetTimeZoneInformation(&zone);
  auto state = fast.As<IOPCGroupStateMgt>();
  DWORD rate = 0, lcid = 0;
  BOOL active = TRUE;
  LONG bias = 0;
  FLOAT deadband = 1;
  OPCHANDLE client = 0, serverHandle = 0;
  TTaskMem<WCHAR> name;
  ASSERT_EQ(state->GetState(&rate, &active, name.Put(), &bias, &deadband, &lcid, &client, &serverHandle),
            S_OK);
  EXPECT_EQ(bias, zone.Bias);
  EXPECT_EQ(std::u16string(name.p), u"B");
  EXPECT_EQ(serverHandle, 3u);
  EXPECT_EQ(active, FALSE);

  DWORD requested = 1000, revised = 0;
  EXPECT_EQ(state->SetState(&requested, &revised, nullptr, nullptr, nullptr, nullptr, nullptr),
            OPC_S_UNSUPPORTEDRATE);
  EXPECT_EQ(revised, 2000u);
  TTaskMem<WCHAR> again;
  ASSERT_EQ(state->GetState(&rate, &active, again.Put(), &bias, &deadband, &lcid, &client, &serverHandle),
            S_OK);
  EXPECT_EQ(rate, 2000u);

  EXPECT_EQ(state->SetName(u"A"), OPC_E_DUPLICATENAME);
  EXPECT_EQ(state->SetName(u""), E_INVALIDARG);
  EXPECT_EQ(state->SetName(u"C"), S_OK);
  TComPtr<IUnknown> found;
  EXPECT_EQ(server->GetGroupByName(u"C", IID_IOPCGroupStateMgt, found.Put()), S_OK);
  EXPECT_TRUE(found);
  EXPECT_EQ(server->GetGroupByName(u"B", IID_IOPCGroupStateMgt, found.Put()), E_INVALIDARG);
  EXPECT_FALSE(found);
}

TEST_F(DaGroupTest, CloneCopiesItemsIntoAnInactiveGroupWithANewHandle) {
  auto server = NewServer();
  TGroup group = AddGroup(server.Get(), u"Source", 4000, TRUE);
  auto mgt = group.As<IOPCItemMgt>();
  ASSERT_EQ(AddItems(mgt.Get(), {{Id(nodes[0]), 11}, {Id(nodes[1]), 12}}).hr, S_OK);
  auto state = group.As<IOPCGroupStateMgt>();
  TComPtr<IUnknown> clone;
  EXPECT_EQ(state->CloneGroup(u"Source", IID_IUnknown, clone.Put()), OPC_E_DUPLICATENAME);
  EXPECT_EQ(state->CloneGroup(u"Copy", IID_IOPCItemMgt, clone.Put()), E_NOINTERFACE);
  ASSERT_EQ(state->CloneGroup(u"Copy", IID_IOPCGroupStateMgt, clone.Put()), S_OK);
  TComPtr<IOPCGroupStateMgt> copy;
  ASSERT_EQ(clone.As(copy), S_OK);
  DWORD rate = 0, lcid = 0;
  BOOL active = TRUE;
  LONG bias = 0;
  FLOAT deadband = 0;
  OPCHANDLE client = 0, handle = 0;
  TTaskMem<WCHAR> name;
  ASSERT_EQ(copy->GetState(&rate, &active, name.Put(), &bias, &deadband, &lcid, &client, &handle), S_OK);
  EXPECT_EQ(std::u16string(name.p), u"Copy");
  EXPECT_EQ(rate, 4000u);
  EXPECT_EQ(active, FALSE);
  EXPECT_NE(handle, group.handle);

  TComPtr<IOPCItemMgt> copyItems;
  ASSERT_EQ(clone.As(copyItems), S_OK);
  TComPtr<IUnknown> unk;
  ASSERT_EQ(copyItems->CreateEnumerator(IID_IEnumOPCItemAttributes, unk.Put()), S_OK);
  TComPtr<IEnumOPCItemAttributes> items;
  ASSERT_EQ(unk.As(items), S_OK);
  TTaskMem<OPCITEMATTRIBUTES> attrs;
  ULONG fetched = 0;
  // Asked for more than there are: the two that remain, in one block of two.
  EXPECT_EQ(items->Next(5, attrs.Put(), &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  for (ULONG i = 0; i < fetched; ++i) {
    EXPECT_EQ(attrs[i].hClient, 11u + i);
    EXPECT_EQ(std::u16string(attrs[i].szItemID), Id(nodes[i]));
    EXPECT_EQ(attrs[i].hServer, static_cast<OPCHANDLE>(nodes[i]->Handle));
    EXPECT_EQ(attrs[i].dwAccessRights, OPC_READABLE);
    CoTaskMemFree(attrs[i].szItemID);
    CoTaskMemFree(attrs[i].szAccessPath);
  }
  // Unnamed clones of an unnamed name get one generated.
  ASSERT_EQ(state->SetName(u"X"), S_OK);
  TComPtr<IUnknown> unnamed;
  EXPECT_EQ(state->CloneGroup(u"", IID_IUnknown, unnamed.Put()), S_OK);
}

TEST_F(DaGroupTest, EnumeratorsAndPublicGroupsFollowTheScope) {
  auto server = NewServer();
  TComPtr<IUnknown> none;
  // No group: no object enumerator, and no failure either.
  EXPECT_EQ(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown, none.Put()), S_OK);
  EXPECT_FALSE(none);
  EXPECT_EQ(server->CreateGroupEnumerator(static_cast<OPCENUMSCOPE>(7), IID_IEnumString, none.Put()),
            E_INVALIDARG);
  EXPECT_EQ(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IDispatch, none.Put()), E_NOINTERFACE);
  EXPECT_EQ(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, nullptr), E_INVALIDARG);

  TGroup a = AddGroup(server.Get(), u"A");
  TGroup b = AddGroup(server.Get(), u"B");
  auto publicState = b.As<IOPCPublicGroupStateMgt>();
  BOOL isPublic = TRUE;
  ASSERT_EQ(publicState->GetState(&isPublic), S_OK);
  EXPECT_FALSE(isPublic);
  ASSERT_EQ(publicState->MoveToPublic(), S_OK);
  ASSERT_EQ(publicState->GetState(&isPublic), S_OK);
  EXPECT_TRUE(isPublic);
  EXPECT_EQ(publicState->MoveToPublic(), E_FAIL);  // never back, never twice

  EXPECT_EQ(Names(server.Get(), OPC_ENUM_PRIVATE), std::vector<std::u16string>{u"A"});
  EXPECT_EQ(Names(server.Get(), OPC_ENUM_PUBLIC), std::vector<std::u16string>{u"B"});
  EXPECT_EQ(Names(server.Get(), OPC_ENUM_ALL_CONNECTIONS), (std::vector<std::u16string>{u"A", u"B"}));
  // Names stay unique over both lists.
  EXPECT_EQ(AddGroup(server.Get(), u"B").hr, OPC_E_DUPLICATENAME);

  TComPtr<IUnknown> list;
  ASSERT_EQ(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown, list.Put()), S_OK);
  TComPtr<IEnumUnknown> groups;
  ASSERT_EQ(list.As(groups), S_OK);
  IUnknown* got[3] = {};
  ULONG fetched = 0;
  EXPECT_EQ(groups->Next(3, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(got[0], a.unk.Get());
  EXPECT_EQ(got[1], b.unk.Get());
  for (ULONG i = 0; i < fetched; ++i) got[i]->Release();

  TComPtr<IOPCServerPublicGroups> publics;
  ASSERT_EQ(server.As(publics), S_OK);
  TComPtr<IUnknown> found;
  EXPECT_EQ(publics->GetPublicGroupByName(u"A", IID_IUnknown, found.Put()), OPC_E_NOTFOUND);
  EXPECT_EQ(publics->GetPublicGroupByName(u"B", IID_IUnknown, found.Put()), S_OK);
  EXPECT_EQ(found.Get(), b.unk.Get());

  TTaskMem<OPCSERVERSTATUS> status;
  ASSERT_EQ(server->GetStatus(status.Put()), S_OK);
  EXPECT_EQ(status[0].dwGroupCount, 2u);
  CoTaskMemFree(status[0].szVendorInfo);

  EXPECT_EQ(publics->RemovePublicGroup(b.handle, FALSE), S_OK);
  EXPECT_EQ(Names(server.Get(), OPC_ENUM_PUBLIC), std::vector<std::u16string>{});
}

TEST_F(DaGroupTest, RemoveGroupRefusesUnknownHandlesAndGroupsStillInUse) {
  auto server = NewServer();
  TGroup group = AddGroup(server.Get(), u"A");
  EXPECT_EQ(server->RemoveGroup(0, FALSE), E_INVALIDARG);
  EXPECT_EQ(server->RemoveGroup(group.handle + 100, FALSE), E_INVALIDARG);
  {
    auto extra = group.As<IOPCItemMgt>();  // a second reference of the client
    EXPECT_EQ(server->RemoveGroup(group.handle, FALSE), OPC_S_INUSE);
  }
  EXPECT_EQ(server->RemoveGroup(group.handle, FALSE), S_OK);
  EXPECT_EQ(server->RemoveGroup(group.handle, FALSE), E_INVALIDARG);
  // The client's reference keeps the group working outside the list.
  auto mgt = group.As<IOPCItemMgt>();
  EXPECT_EQ(AddItems(mgt.Get(), {{Id(nodes[0]), 1}}).hr, S_OK);

  TGroup forced = AddGroup(server.Get(), u"B");
  auto extra = forced.As<IOPCItemMgt>();
  EXPECT_EQ(server->RemoveGroup(forced.handle, TRUE), S_OK);
}

TEST_F(DaGroupTest, AddItemsAndValidateItemsAnswerEachDefinition) {
  auto server = NewServer();
  TGroup group = AddGroup(server.Get(), u"A");
  auto mgt = group.As<IOPCItemMgt>();
  const std::u16string id = Id(nodes[0]);
  const OPCHANDLE handle = static_cast<OPCHANDLE>(nodes[0]->Handle);
  const VARTYPE canonical = static_cast<VARTYPE>(Attribute(*nodes[0], asDataType).Value.i);
  ASSERT_NE(canonical, VT_EMPTY);
  struct TCase {
    const char* what;
    TItemDef def;
    HRESULT add;       // AddItems' error
    HRESULT validate;  // ValidateItems' error
    OPCHANDLE server;  // hServer of an added item
  };
  TCase cases[] = {
      {"plain id", {id, 1}, S_OK, S_OK, handle},
      {"id with the \\\\ prefix", {u"\\\\" + id, 2}, S_OK, S_OK, handle},
      {"two other leading characters", {u"xx" + id, 3}, OPC_E_UNKNOWNITEMID, OPC_E_UNKNOWNITEMID, 0},
      {"empty id", {u"", 4}, OPC_E_INVALIDITEMID, OPC_E_INVALIDITEMID, 0},
      {"unknown id", {u"Нет.Такого", 5}, OPC_E_UNKNOWNITEMID, OPC_E_UNKNOWNITEMID, 0},
      {"type no value converts to", {id, 6, VT_DISPATCH}, OPC_E_BADTYPE, OPC_E_BADTYPE, 0},
      {"input of the item properties", {u"Input1", 7}, OPC_E_UNKNOWNITEMID, S_OK, 0},
      {"wider type the values convert to", {id, 8, VT_UI8}, S_OK, S_OK, handle},
      {"text", {id, 9, VT_BSTR}, S_OK, S_OK, handle},
      {"array", {id, 10, VT_ARRAY | VT_R8}, OPC_E_BADTYPE, OPC_E_BADTYPE, 0},
  };
  // The client's own blob pointer must not come back: a client frees what it gets.
  BYTE blob[4] = {1, 2, 3, 4};
  cases[0].def.blob = blob;
  std::vector<TItemDef> defs;
  for (const auto& c : cases) defs.push_back(c.def);
  const TAddResult added = AddItems(mgt.Get(), defs);
  const TAddResult validated = AddItems(mgt.Get(), defs, true);
  EXPECT_EQ(added.hr, S_FALSE);
  EXPECT_EQ(validated.hr, S_FALSE);
  ASSERT_EQ(added.errors.size(), std::size(cases));
  ASSERT_EQ(validated.errors.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].what);
    EXPECT_EQ(added.errors[i], cases[i].add);
    EXPECT_EQ(validated.errors[i], cases[i].validate);
    EXPECT_EQ(added.results[i].hServer, cases[i].server);
    EXPECT_EQ(added.results[i].pBlob, nullptr);
    EXPECT_EQ(added.results[i].dwBlobSize, 0u);
    if (cases[i].add == S_OK) {
      EXPECT_EQ(added.results[i].vtCanonicalDataType, canonical);
    }
  }
  EXPECT_EQ(validated.results[6].dwAccessRights, OPC_READABLE | OPC_WRITEABLE);
  EXPECT_EQ(validated.results[0].dwAccessRights, OPC_READABLE);
  // Only the good definitions became items; the tree's nodes keep their own client handles.
  EXPECT_EQ(nodes[0]->ClientHandle, 0);
  EXPECT_EQ(logs.JournalCount("Validate"), static_cast<int>(std::size(cases)));
  EXPECT_EQ(logs.JournalCount("Добавление задания 2"), 4);

  TComPtr<IUnknown> unk;
  ASSERT_EQ(mgt->CreateEnumerator(IID_IEnumOPCItemAttributes, unk.Put()), S_OK);
  TComPtr<IEnumOPCItemAttributes> items;
  ASSERT_EQ(unk.As(items), S_OK);
  TTaskMem<OPCITEMATTRIBUTES> attrs;
  ULONG fetched = 0;
  ASSERT_EQ(items->Next(2, attrs.Put(), &fetched), S_OK);
  ASSERT_EQ(fetched, 2u);
  for (ULONG i = 0; i < fetched; ++i) {
    EXPECT_EQ(attrs[i].vtRequestedDataType, canonical);  // VT_EMPTY asked: the canonical type
    CoTaskMemFree(attrs[i].szItemID);
    CoTaskMemFree(attrs[i].szAccessPath);
  }
  // Counts no client sends are refused before anything is allocated or read.
  OPCITEMDEF one{};
  for (DWORD count : {DWORD{0}, DWORD{0x40000000}}) {
    TTaskMem<OPCITEMRESULT> none;
    TTaskMem<HRESULT> noErrors;
    EXPECT_EQ(mgt->AddItems(count, &one, none.Put(), noErrors.Put()), E_INVALIDARG);
    EXPECT_EQ(none.p, nullptr);
  }
}

TEST_F(DaGroupTest, ItemHandlesAreCheckedPerItem) {
  auto server = NewServer();
  TGroup group = AddGroup(server.Get(), u"A");
  auto mgt = group.As<IOPCItemMgt>();
  ASSERT_EQ(AddItems(mgt.Get(), {{Id(nodes[0]), 1}, {Id(nodes[1]), 2}}).hr, S_OK);
  OPCHANDLE good = static_cast<OPCHANDLE>(nodes[0]->Handle);
  OPCHANDLE handles[] = {good, 12345};
  {
    TTaskMem<HRESULT> errors;
    OPCHANDLE clients[] = {21, 22};
    EXPECT_EQ(mgt->SetClientHandles(2, handles, clients, errors.Put()), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
  }
  {
    TTaskMem<HRESULT> errors;
    VARTYPE types[] = {VT_DISPATCH, VT_I4};
    EXPECT_EQ(mgt->SetDatatypes(2, handles, types, errors.Put()), S_FALSE);
    EXPECT_EQ(errors[0], OPC_E_BADTYPE);
    EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
  }
  {
    TTaskMem<HRESULT> errors;
    EXPECT_EQ(mgt->SetActiveState(2, handles, FALSE, errors.Put()), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(logs.JournalCount("SetActiveState"), 1);
  }
  {
    TTaskMem<HRESULT> errors;
    EXPECT_EQ(mgt->RemoveItems(2, handles, errors.Put()), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
  }
  {
    TTaskMem<HRESULT> errors;
    EXPECT_EQ(mgt->RemoveItems(1, handles, errors.Put()), S_FALSE);  // already gone
    EXPECT_EQ(errors[0], OPC_E_INVALIDHANDLE);
  }
  OPCHANDLE last = static_cast<OPCHANDLE>(nodes[1]->Handle);
  TTaskMem<HRESULT> errors;
  EXPECT_EQ(mgt->RemoveItems(1, &last, errors.Put()), S_OK);
  TComPtr<IUnknown> none;
  EXPECT_EQ(mgt->CreateEnumerator(IID_IEnumOPCItemAttributes, none.Put()), S_FALSE);
  EXPECT_FALSE(none);
}

TEST_F(DaGroupTest, ErrorTextsLocalesAndStatus) {
  auto server = NewServer();
  TComPtr<IOPCCommon> common;
  ASSERT_EQ(server.As(common), S_OK);
  struct TCase {
    HRESULT code;
    std::u16string text;
  };
  const TCase cases[] = {
      {OPC_E_DUPLICATENAME, u"Duplicate name not allowed."},
      {OPC_E_INVALIDHANDLE, u"The value of the handle is invalid."},
      {OPC_S_UNSUPPORTEDRATE,
       u"The server does not support the requested data rate but will use the closest available rate."},
      // A code the table lacks: the system's text, without its full stop and line end.
      {E_ACCESSDENIED, u"Access is denied"},
      {ORVELA_HR(0xC004FFFF), u""},
  };
  for (const auto& c : cases) {
    TTaskMem<WCHAR> text, again;
    ASSERT_EQ(server->GetErrorString(c.code, 0x409, text.Put()), S_OK);
    ASSERT_EQ(common->GetErrorString(c.code, again.Put()), S_OK);
    EXPECT_EQ(std::u16string(text.p), c.text) << std::hex << c.code;
    EXPECT_EQ(std::u16string(again.p), c.text);
  }

  EXPECT_EQ(common->SetLocaleID(0x409), E_INVALIDARG);
  EXPECT_EQ(common->SetLocaleID(LOCALE_USER_DEFAULT), S_OK);
  LCID lcid = 0;
  ASSERT_EQ(common->GetLocaleID(&lcid), S_OK);
  EXPECT_EQ(lcid, LOCALE_USER_DEFAULT);
  DWORD count = 0;
  TTaskMem<LCID> locales;
  ASSERT_EQ(common->QueryAvailableLocaleIDs(&count, locales.Put()), S_OK);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(locales[0], LOCALE_SYSTEM_DEFAULT);
  EXPECT_EQ(locales[1], LOCALE_USER_DEFAULT);

  TTaskMem<OPCSERVERSTATUS> status;
  ASSERT_EQ(server->GetStatus(status.Put()), S_OK);
  EXPECT_EQ(std::u16string(status[0].szVendorInfo), u"ZPK");
  EXPECT_EQ(status[0].dwServerState, OPC_STATUS_RUNNING);
  EXPECT_EQ(status[0].dwGroupCount, 0u);
  EXPECT_EQ(status[0].dwBandWidth, 100u);
  EXPECT_EQ(status[0].wMajorVersion, 1);
  EXPECT_EQ(status[0].wMinorVersion, 2);
  EXPECT_EQ(status[0].wBuildNumber, 5);
  EXPECT_LE(FileTimeToInt64(status[0].ftStartTime), FileTimeToInt64(status[0].ftCurrentTime));
  EXPECT_EQ(status[0].ftLastUpdateTime.dwLowDateTime, LocalDateTimeToFileTime(0).dwLowDateTime);
  CoTaskMemFree(status[0].szVendorInfo);
  EXPECT_EQ(server->GetStatus(nullptr), E_INVALIDARG);
}

TEST_F(DaGroupTest, EngineRunsWhileAnyServerLivesAndNothingOutlivesTheLastRelease) {
  TComPtr<IOPCServer> first = NewServer();
  TComPtr<IOPCServer> second = NewServer();
  EXPECT_TRUE(reading.Engine().Running());
  EXPECT_EQ(reading.Engine().Users(), 2);
  auto daState = TDaServerState::Find(ctx);
  ASSERT_TRUE(daState);
  EXPECT_TRUE(daState->ServerMarkerExists());
  TGroup group = AddGroup(first.Get(), u"A");
  auto mgt = group.As<IOPCItemMgt>();
  group.unk.Reset();

  // Another client's server object going does not stop the engine under this one.
  second.Reset();
  EXPECT_TRUE(reading.Engine().Running());
  EXPECT_TRUE(daState->ServerMarkerExists());  // the other server's still stands
  // A group released after its server is still safe to call.
  first.Reset();
  EXPECT_FALSE(reading.Engine().Running());
  EXPECT_FALSE(daState->ServerMarkerExists());
  EXPECT_EQ(AddItems(mgt.Get(), {{Id(nodes[0]), 1}}).hr, S_OK);
  TComPtr<IOPCGroupStateMgt> state;
  ASSERT_EQ(mgt.As(state), S_OK);
  EXPECT_EQ(state->SetName(u"B"), S_OK);
  mgt.Reset();
  state.Reset();

  daState.reset();
  EXPECT_EQ(logs.JournalCount("Сервер DA запущен"), 2);
  EXPECT_EQ(logs.JournalCount("Сервер DA завершен"), 2);
  factory.Reset();
  EXPECT_EQ(ComLiveObjects(), liveBefore);
}

TEST_F(DaGroupTest, ATwelfthServerObjectIsRefused) {
  std::vector<TComPtr<IOPCServer>> servers;
  for (int i = 0; i < 11; ++i) servers.push_back(NewServer());
  TComPtr<IUnknown> twelfth;
  EXPECT_TRUE(FAILED(Factory().CreateInstance(nullptr, IID_IUnknown, twelfth.PutVoid())));
  EXPECT_FALSE(twelfth);
  servers.pop_back();
  EXPECT_EQ(Factory().CreateInstance(nullptr, IID_IUnknown, twelfth.PutVoid()), S_OK);
  // The server object's other interfaces.
  TComPtr<IPersistFile> persist;
  ASSERT_EQ(twelfth.As(persist), S_OK);
  EXPECT_EQ(persist->IsDirty(), S_FALSE);
  TComPtr<IDispatch> dispatch;
  ASSERT_EQ(twelfth.As(dispatch), S_OK);
  UINT count = 1;
  EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
  TComPtr<IConnectionPointContainer> points;
  ASSERT_EQ(twelfth.As(points), S_OK);
  TComPtr<IConnectionPoint> shutdown;
  EXPECT_EQ(points->FindConnectionPoint(IID_IOPCShutdown, shutdown.Put()), S_OK);

  // Process end: every server still alive is cut off from its clients; what they hold is freed as usual.
  DisconnectDaServers(ctx);
  servers.clear();
  twelfth.Reset();
  persist.Reset();
  dispatch.Reset();
  points.Reset();
  shutdown.Reset();
  factory.Reset();
  EXPECT_FALSE(reading.Engine().Running());
  EXPECT_EQ(ComLiveObjects(), liveBefore);
}

}  // namespace
}  // namespace orvela::test
