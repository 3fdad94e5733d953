// The HDA server object through its interfaces: declarations, status, item identifiers and handles,
// the interfaces it offers and its life with the engine.
#include <gtest/gtest.h>

#include "opc_hda/HdaTestSupport.h"
#include "platform/com/ComText.h"
#include "platform/com/opc/OpcCommon.h"

namespace orvela::test {
namespace {

std::vector<std::string> TakeStrings(LPWSTR* texts, DWORD n) {
  std::vector<std::string> out;
  for (DWORD i = 0; i < n; ++i) {
    out.push_back(WideToUtf8(texts[i]));
    CoTaskMemFree(texts[i]);
  }
  CoTaskMemFree(texts);
  return out;
}

TEST_F(HdaServerTest, DeclaresItsAttributesAggregatesAndStatus) {
  const TDateTime before = clock.Now();
  auto server = CreateServer();
  const TDateTime after = clock.Now();
  ASSERT_TRUE(server);

  DWORD count = 0;
  DWORD* ids = nullptr;
  LPWSTR *names = nullptr, *descs = nullptr;
  VARTYPE* types = nullptr;
  ASSERT_EQ(server->GetItemAttributes(&count, &ids, &names, &descs, &types), S_OK);
  const std::vector<std::pair<DWORD, VARTYPE>> attributes = {
      {1, VT_I2},  {2, VT_BSTR}, {3, VT_BSTR},  {7, VT_BSTR}, {9, VT_BSTR}, {10, VT_BSTR},
      {11, VT_R8}, {12, VT_R8},  {13, VT_BSTR}, {14, VT_CY},  {15, VT_CY}};
  ASSERT_EQ(count, attributes.size());
  for (DWORD i = 0; i < count; ++i) {
    EXPECT_EQ(ids[i], attributes[i].first);
    EXPECT_EQ(types[i], attributes[i].second);
  }
  const auto attributeNames = TakeStrings(names, count);
  EXPECT_EQ(attributeNames[4], "Источник");
  EXPECT_EQ(TakeStrings(descs, count), attributeNames);
  CoTaskMemFree(ids);
  CoTaskMemFree(types);

  ASSERT_EQ(server->GetAggregates(&count, &ids, &names, &descs), S_OK);
  ASSERT_EQ(count, 11u);
  EXPECT_EQ(ids[0], DWORD(OPCHDA_TOTAL));
  EXPECT_EQ(ids[10], DWORD(OPCHDA_RANGE));
  const auto aggregateNames = TakeStrings(names, count);
  EXPECT_EQ(aggregateNames.front(), "Total");
  EXPECT_EQ(aggregateNames.back(), "Range");
  TakeStrings(descs, count);
  CoTaskMemFree(ids);

  OPCHDA_SERVERSTATUS status{};
  FILETIME *now = nullptr, *started = nullptr;
  WORD major = 0, minor = 9, build = 0;
  DWORD maxValues = 0;
  LPWSTR statusText = nullptr, vendor = nullptr;
  ASSERT_EQ(server->GetHistorianStatus(&status, &now, &started, &major, &minor, &build, &maxValues,
                                       &statusText, &vendor),
            S_OK);
  EXPECT_EQ(status, OPCHDA_UP);
  EXPECT_EQ((std::vector<WORD>{major, minor, build}), (std::vector<WORD>{2, 0, 1}));
  EXPECT_EQ(maxValues, 1'000'000u);
  // The start is the object's creation, given in UTC.
  EXPECT_GE(FileTimeToInt64(*started), FileTimeToInt64(LocalDateTimeToFileTime(before)));
  EXPECT_LE(FileTimeToInt64(*started), FileTimeToInt64(LocalDateTimeToFileTime(after)));
  EXPECT_GE(FileTimeToInt64(*now), FileTimeToInt64(*started));
  EXPECT_EQ(WideToUtf8(statusText), "Состояние OK");
  for (void* p : {static_cast<void*>(now), static_cast<void*>(started), static_cast<void*>(statusText),
                  static_cast<void*>(vendor)})
    CoTaskMemFree(p);

  TComPtr<IOPCCommon> common;
  ASSERT_EQ(server.As(common), S_OK);
  LPWSTR text = nullptr;
  ASSERT_EQ(common->GetErrorString(OPC_E_UNKNOWNITEMID, &text), S_OK);
  EXPECT_EQ(WideToUtf8(text), "Ошибка на сервере");
  CoTaskMemFree(text);
  LCID lcid = 1;
  EXPECT_EQ(common->GetLocaleID(&lcid), E_NOTIMPL);
  EXPECT_EQ(common->SetLocaleID(0x0419), S_OK);
  EXPECT_EQ(common->SetClientName(u"test"), S_OK);
}

TEST_F(HdaServerTest, ItemIdentifiersAnsweredItemByItem) {
  auto server = CreateServer();
  std::u16string good = Utf8ToUtf16(hourly->Path), other = Utf8ToUtf16(daily->Path);
  std::u16string unknown = good + u".99", empty;
  struct TCase {
    LPWSTR id;
    HRESULT error;
    TNTreeData* node;
  };
  const TCase cases[] = {
      {good.data(), S_OK, hourly},
      {unknown.data(), OPC_E_UNKNOWNITEMID, nullptr},
      {empty.data(), OPC_E_INVALIDITEMID, nullptr},
      {nullptr, OPC_E_INVALIDITEMID, nullptr},
      {other.data(), S_OK, daily},
  };
  std::vector<LPWSTR> ids;
  std::vector<OPCHANDLE> clients;
  for (const auto& c : cases) {
    ids.push_back(c.id);
    clients.push_back(500 + static_cast<OPCHANDLE>(clients.size()));
  }
  const auto n = static_cast<DWORD>(ids.size());

  HRESULT* errors = nullptr;
  ASSERT_EQ(server->ValidateItemIDs(n, ids.data(), &errors), S_FALSE);
  for (DWORD i = 0; i < n; ++i) EXPECT_EQ(errors[i], cases[i].error) << i;
  CoTaskMemFree(errors);

  OPCHANDLE* handles = nullptr;
  ASSERT_EQ(server->GetItemHandles(n, ids.data(), clients.data(), &handles, &errors), S_FALSE);
  for (DWORD i = 0; i < n; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(errors[i], cases[i].error);
    EXPECT_EQ(handles[i], cases[i].node ? Handle(cases[i].node) : 0u);
    // The client's handle stays with this server object: the node's own field (DA's) is not relabelled.
    if (cases[i].node) {
      EXPECT_EQ(cases[i].node->ClientHandle, 0);
    }
  }
  std::vector<OPCHANDLE> release = {handles[0], 0x7FFFFFF, handles[4]};
  CoTaskMemFree(handles);
  CoTaskMemFree(errors);
  ASSERT_EQ(server->ReleaseItemHandles(3, release.data(), &errors), S_FALSE);
  EXPECT_EQ((std::vector<HRESULT>{errors[0], errors[1], errors[2]}),
            (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, S_OK}));
  CoTaskMemFree(errors);

  ASSERT_EQ(server->ValidateItemIDs(1, ids.data(), &errors), S_OK);
  CoTaskMemFree(errors);
  EXPECT_EQ(server->ValidateItemIDs(0, ids.data(), &errors), E_INVALIDARG);
  EXPECT_EQ(server->ValidateItemIDs(1, ids.data(), nullptr), E_POINTER);
}

TEST_F(HdaServerTest, EngineRunsWhileAnyServerLivesAndNothingOutlivesTheLastRelease) {
  const int64_t live = ComLiveObjects();
  TAsyncEngine& engine = reading->Engine();
  {
    auto first = CreateServer();
    auto second = CreateServer();
    EXPECT_EQ(engine.Users(), 2);
    auto sink = AdviseSink(first.Get());
    // A reader interface keeps its server alive after the server's own pointer is released.
    TComPtr<IOPCHDA_SyncRead> reader;
    ASSERT_EQ(first.As(reader), S_OK);
    TComPtr<IOPCHDA_AsyncRead> async;
    ASSERT_EQ(first.As(async), S_OK);
    TComPtr<IOPCShutdown> shutdown;
    ASSERT_EQ(first.As(shutdown), S_OK);
    EXPECT_EQ(shutdown->ShutdownRequest(u"bye"), S_OK);
    TComPtr<IUnknown> identity, viaReader;
    ASSERT_EQ(first->QueryInterface(IID_IUnknown, identity.PutVoid()), S_OK);
    ASSERT_EQ(reader->QueryInterface(IID_IUnknown, viaReader.PutVoid()), S_OK);
    EXPECT_EQ(identity.Get(), viaReader.Get());
    identity.Reset();
    viaReader.Reset();
    first.Reset();
    async.Reset();
    shutdown.Reset();
    EXPECT_EQ(engine.Users(), 2);
    DWORD attribute = OPCHDA_DESCRIPTION;
    OPCHDA_ATTRIBUTE* values = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(reader->ReadAttribute(nullptr, nullptr, Handle(hourly), 1, &attribute, &values, &errors), S_OK);
    CoTaskMemFree(values[0].ftTimeStamps);
    VariantClear(values[0].vAttributeValues);
    CoTaskMemFree(values[0].vAttributeValues);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
    reader.Reset();
    // The first server is gone; the second still holds the engine.
    EXPECT_EQ(engine.Users(), 1);
    EXPECT_TRUE(engine.Running());
    EXPECT_EQ(logs.JournalCount("Сервер HDA завершен"), 1);
    second.Reset();
    EXPECT_FALSE(engine.Running());
  }
  EXPECT_EQ(ComLiveObjects(), live);
  EXPECT_EQ(logs.JournalCount("Сервер HDA запущен"), 2);
  EXPECT_EQ(logs.JournalCount("Сервер HDA завершен"), 2);
  const auto work = logs.Work();
  EXPECT_EQ(std::count(work.begin(), work.end(), "Вызван Destroy TOrvelaOPC_HDA"), 2);
}

}  // namespace
}  // namespace orvela::test
