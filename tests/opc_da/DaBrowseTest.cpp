// Browsing the DA address space and reading item properties through the server object's interfaces, as
// a client does: each client's own browse position, the listings with their filters, enumerators that
// end where their list ends, and a device removed while a client browses inside it.
#include "engine/OPCExplorer.h"
#include "opc_da/DaTestSupport.h"
#include "support/BrowseTree.h"

namespace orvela::test {
namespace {

const std::string kRoot = kRootNameRu;

std::u16string W(const std::string& s) {
  return Utf8ToUtf16(s);
}

struct TListing {
  HRESULT hr = E_FAIL;
  bool enumerator = false;
  std::vector<std::string> names;
};

TListing Browse(IOPCBrowseServerAddressSpace* space, OPCBROWSETYPE type, const std::u16string& filter = u"",
                VARTYPE vt = VT_EMPTY, DWORD rights = 0) {
  TListing out;
  TComPtr<IEnumString> e;
  out.hr = space->BrowseOPCItemIDs(type, filter.c_str(), vt, rights, e.Put());
  out.enumerator = static_cast<bool>(e);
  if (e) out.names = Drain(e.Get());
  return out;
}

std::string ItemId(IOPCBrowseServerAddressSpace* space, const std::u16string& name, HRESULT* hr = nullptr) {
  LPWSTR id = nullptr;
  const HRESULT r = space->GetItemID(const_cast<LPWSTR>(name.c_str()), &id);
  if (hr) *hr = r;
  std::string out = id ? WideToUtf8(id) : "<none>";
  CoTaskMemFree(id);
  return out;
}

std::string Da(const std::string& path) {
  return "\\\\" + path;
}

class DaBrowseTest : public DaServerFixture {
 protected:
  DaBrowseTest() : t(BuildBrowseTree(tree)) {}

  TComPtr<IOPCBrowseServerAddressSpace> NewBrowser() {
    TComPtr<IOPCBrowseServerAddressSpace> space;
    EXPECT_EQ(NewServer().As(space), S_OK);
    return space;
  }
  std::string Position(IOPCBrowseServerAddressSpace* space) { return ItemId(space, u""); }

  TBrowseTree t;
};

TEST_F(DaBrowseTest, PositionMovesUpDownAndToAndFailedMovesLeaveItWhereItWas) {
  auto space = NewBrowser();
  OPCNAMESPACETYPE organization = OPC_NS_FLAT;
  ASSERT_EQ(space->QueryOrganization(&organization), S_OK);
  EXPECT_EQ(organization, OPC_NS_HIERARCHIAL);

  const std::string boiler1 = kRoot + ".Котёл 1";
  const std::string current1 = boiler1 + ".Текущие данные";
  struct TMove {
    OPCBROWSEDIRECTION direction;
    std::string name;
    HRESULT hr;
    std::string position;
  } moves[] = {
      {OPC_BROWSE_UP, "", E_FAIL, kRoot},  // nothing above the root
      {OPC_BROWSE_DOWN, "Котёл 1", S_OK, boiler1},
      {OPC_BROWSE_DOWN, "Почасовой архив", E_INVALIDARG, boiler1},  // not shown to DA clients
      {OPC_BROWSE_DOWN, "Нет такого", E_INVALIDARG, boiler1},
      {OPC_BROWSE_DOWN, "", E_INVALIDARG, boiler1},
      {OPC_BROWSE_DOWN, "Текущие данные", S_OK, current1},
      {OPC_BROWSE_DOWN, "Значение", E_INVALIDARG, current1},  // a leaf is no branch
      {OPC_BROWSE_UP, "", S_OK, boiler1},
      {OPC_BROWSE_TO, Da(kRoot + ".Котёл 2.Текущие данные"), S_OK, kRoot + ".Котёл 2.Текущие данные"},
      {OPC_BROWSE_TO, current1, S_OK, current1},
      {OPC_BROWSE_TO, kRoot + ".Нет", E_INVALIDARG, current1},
      {OPC_BROWSE_TO, current1 + ".Значение", E_INVALIDARG, current1},
      {OPC_BROWSE_TO, "Котёл 1", E_INVALIDARG, current1},  // not a complete id
      {static_cast<OPCBROWSEDIRECTION>(7), "", E_INVALIDARG, current1},
      {OPC_BROWSE_TO, "", S_OK, kRoot},
  };
  for (const auto& m : moves) {
    SCOPED_TRACE(std::to_string(m.direction) + " " + m.name);
    EXPECT_EQ(space->ChangeBrowsePosition(m.direction, W(m.name).c_str()), m.hr);
    EXPECT_EQ(Position(space.Get()), Da(m.position));
  }
  EXPECT_EQ(space->ChangeBrowsePosition(OPC_BROWSE_DOWN, nullptr), E_INVALIDARG);
  EXPECT_EQ(space->ChangeBrowsePosition(OPC_BROWSE_TO, nullptr), S_OK);
}

TEST_F(DaBrowseTest, ListingsAndTheirFilters) {
  auto space = NewBrowser();
  const std::string current1 = kRoot + ".Котёл 1.Текущие данные";
  const std::string longName(kLongNameLength, 'a');
  struct TCase {
    const char* what;
    std::string position;
    OPCBROWSETYPE type;
    std::u16string filter;
    VARTYPE vt;
    DWORD rights;
    HRESULT hr;
    std::vector<std::string> names;
  } cases[] = {
      {"root branches: devices with children",
       "",
       OPC_BRANCH,
       u"",
       VT_EMPTY,
       0,
       S_OK,
       {"Котёл 1", "Котёл 2", "Длинный"}},
      {"a device without children is a leaf", "", OPC_LEAF, u"", VT_EMPTY, 0, S_OK, {"Пустой"}},
      {"DA-hidden branch not listed",
       kRoot + ".Котёл 1",
       OPC_BRANCH,
       u"",
       VT_EMPTY,
       0,
       S_OK,
       {"Текущие данные"}},
      {"leaves", current1, OPC_LEAF, u"", VT_EMPTY, 0, S_OK, {"Значение", "Наработка", "Статус"}},
      {"star", current1, OPC_LEAF, u"Н*", VT_EMPTY, 0, S_OK, {"Наработка"}},
      {"negated set", current1, OPC_LEAF, u"[!З]*", VT_EMPTY, 0, S_OK, {"Наработка", "Статус"}},
      {"question marks", current1, OPC_LEAF, u"??????", VT_EMPTY, 0, S_OK, {"Статус"}},
      {"range set", current1, OPC_LEAF, u"[М-О]а*", VT_EMPTY, 0, S_OK, {"Наработка"}},
      {"case matters", current1, OPC_LEAF, u"з*", VT_EMPTY, 0, S_FALSE, {}},
      {"data type", current1, OPC_LEAF, u"", VT_R4, 0, S_OK, {"Значение"}},
      {"string data type", current1, OPC_LEAF, u"", VT_BSTR, 0, S_OK, {"Статус"}},
      {"writable", current1, OPC_LEAF, u"", VT_EMPTY, OPC_WRITEABLE, S_OK, {"Наработка", "Статус"}},
      {"readable", current1, OPC_LEAF, u"", VT_EMPTY, OPC_READABLE, S_OK, {"Значение", "Наработка"}},
      {"all filters at once", current1, OPC_LEAF, u"*а*", VT_I4, OPC_WRITEABLE, S_OK, {"Наработка"}},
      {"nothing to list: S_FALSE with an enumerator",
       kRoot + ".Котёл 2.Текущие данные",
       OPC_BRANCH,
       u"",
       VT_EMPTY,
       0,
       S_FALSE,
       {}},
      {"flat: complete ids of every DA item below",
       kRoot + ".Котёл 1",
       OPC_FLAT,
       u"",
       VT_EMPTY,
       0,
       S_OK,
       {current1 + ".Значение", current1 + ".Наработка", current1 + ".Статус"}},
      {"flat from the root, filtered",
       "",
       OPC_FLAT,
       u"Значение",
       VT_EMPTY,
       0,
       S_OK,
       {current1 + ".Значение", kRoot + ".Котёл 2.Текущие данные.Значение"}},
      {"pathological stars against a long name",
       kRoot + ".Длинный",
       OPC_LEAF,
       u"*a*a*a*a*a*b",
       VT_EMPTY,
       0,
       S_FALSE,
       {}},
      {"many stars that match",
       kRoot + ".Длинный",
       OPC_LEAF,
       u"*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a",
       VT_EMPTY,
       0,
       S_OK,
       {longName}},
      {"runs of stars",
       kRoot + ".Длинный",
       OPC_LEAF,
       u"a**********a*********?",
       VT_EMPTY,
       0,
       S_OK,
       {longName}},
      {"digit", kRoot + ".Длинный", OPC_LEAF, u"*#", VT_EMPTY, 0, S_FALSE, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(space->ChangeBrowsePosition(OPC_BROWSE_TO, W(c.position).c_str()), S_OK);
    TListing got = Browse(space.Get(), c.type, c.filter, c.vt, c.rights);
    EXPECT_EQ(got.hr, c.hr);
    EXPECT_TRUE(got.enumerator);
    EXPECT_EQ(got.names, c.names);
  }
}

TEST_F(DaBrowseTest, BadBrowseRequestsAreRefusedWithoutAnEnumerator) {
  auto space = NewBrowser();
  struct TCase {
    const char* what;
    OPCBROWSETYPE type;
    std::u16string filter;
    DWORD rights;
    HRESULT hr;
  } cases[] = {
      {"unclosed set", OPC_LEAF, u"[abc", 0, OPC_E_INVALIDFILTER},
      {"empty set", OPC_LEAF, u"[]", 0, OPC_E_INVALIDFILTER},
      {"backward range", OPC_LEAF, u"[z-a]", 0, OPC_E_INVALIDFILTER},
      {"filter too long", OPC_LEAF, std::u16string(TNameFilter::kMaxLength + 1, u'*'), 0,
       OPC_E_INVALIDFILTER},
      {"browse type", static_cast<OPCBROWSETYPE>(4), u"", 0, E_INVALIDARG},
      {"access rights bits", OPC_LEAF, u"", 4, E_INVALIDARG},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    IEnumString* e = reinterpret_cast<IEnumString*>(1);
    EXPECT_EQ(space->BrowseOPCItemIDs(c.type, c.filter.c_str(), VT_EMPTY, c.rights, &e), c.hr);
    EXPECT_EQ(e, nullptr);
  }
  EXPECT_EQ(space->BrowseOPCItemIDs(OPC_LEAF, nullptr, VT_EMPTY, 0, nullptr), E_INVALIDARG);
  // Items have no access paths.
  IEnumString* paths = reinterpret_cast<IEnumString*>(1);
  EXPECT_EQ(space->BrowseAccessPaths(W(t.value1->Path).c_str(), &paths), E_NOTIMPL);
  EXPECT_EQ(paths, nullptr);
}

TEST_F(DaBrowseTest, EnumeratorsStopAtTheirEnd) {
  auto space = NewBrowser();
  ASSERT_EQ(space->ChangeBrowsePosition(OPC_BROWSE_TO, W(t.current1->Path).c_str()), S_OK);
  TComPtr<IEnumString> e;
  ASSERT_EQ(space->BrowseOPCItemIDs(OPC_LEAF, u"", VT_EMPTY, 0, e.Put()), S_OK);
  EXPECT_EQ(e->Skip(2), S_OK);
  EXPECT_EQ(e->Skip(2), S_FALSE);  // only one was left
  LPOLESTR one = nullptr;
  ULONG fetched = 7;
  EXPECT_EQ(e->Next(1, &one, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(e->Reset(), S_OK);
  TComPtr<IEnumString> clone;
  ASSERT_EQ(e->Clone(clone.Put()), S_OK);
  EXPECT_EQ(Drain(e.Get()), (std::vector<std::string>{"Значение", "Наработка", "Статус"}));
  EXPECT_EQ(Drain(clone.Get()), (std::vector<std::string>{"Значение", "Наработка", "Статус"}));
  // One at a time without a count: the element after the last is refused, not invented.
  EXPECT_EQ(e->Reset(), S_OK);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(e->Next(1, &one, nullptr), S_OK);
    CoTaskMemFree(one);
  }
  one = nullptr;
  EXPECT_EQ(e->Next(1, &one, nullptr), S_FALSE);
  EXPECT_EQ(one, nullptr);
}

TEST_F(DaBrowseTest, ItemIdsNameNodesAndAreAcceptedByAddItems) {
  auto space = NewBrowser();
  ASSERT_EQ(space->ChangeBrowsePosition(OPC_BROWSE_TO, W(t.current1->Path).c_str()), S_OK);
  HRESULT hr = E_FAIL;
  const std::string value = ItemId(space.Get(), u"Значение", &hr);
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(value, Da(t.value1->Path));
  EXPECT_EQ(ItemId(space.Get(), W(kRoot + ".Котёл 2"), &hr), Da(t.boiler2->Path));  // already complete
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(ItemId(space.Get(), u"Нет такого", &hr), "<none>");
  EXPECT_EQ(hr, OPC_E_UNKNOWNITEMID);
  EXPECT_EQ(space->GetItemID(const_cast<LPWSTR>(u"Значение"), nullptr), E_INVALIDARG);

  TComPtr<IOPCServer> server;
  ASSERT_EQ(space.As(server), S_OK);
  TGroup group = AddGroup(server.Get(), u"g");
  TAddResult added = AddItems(group.As<IOPCItemMgt>().Get(), {{W(value), 1}});
  ASSERT_EQ(added.hr, S_OK);
  EXPECT_EQ(added.results[0].hServer, static_cast<OPCHANDLE>(t.value1->Handle));
}

TEST_F(DaBrowseTest, TwoClientsBrowseWithPositionsOfTheirOwn) {
  auto first = NewBrowser();
  auto second = NewBrowser();
  ASSERT_EQ(first->ChangeBrowsePosition(OPC_BROWSE_DOWN, u"Котёл 1"), S_OK);
  ASSERT_EQ(second->ChangeBrowsePosition(OPC_BROWSE_TO, W(kRoot + ".Котёл 2.Текущие данные").c_str()), S_OK);
  EXPECT_EQ(Browse(first.Get(), OPC_BRANCH).names, std::vector<std::string>{"Текущие данные"});
  EXPECT_EQ(Browse(second.Get(), OPC_LEAF).names, std::vector<std::string>{"Значение"});
  EXPECT_EQ(first->ChangeBrowsePosition(OPC_BROWSE_UP, nullptr), S_OK);
  EXPECT_EQ(first->ChangeBrowsePosition(OPC_BROWSE_UP, nullptr), E_FAIL);
  EXPECT_EQ(Position(first.Get()), Da(kRoot));
  EXPECT_EQ(Position(second.Get()), Da(kRoot + ".Котёл 2.Текущие данные"));
}

TEST_F(DaBrowseTest, DeviceRemovedUnderAClientsPositionSendsItBackToTheRoot) {
  auto space = NewBrowser();
  auto other = NewBrowser();
  ASSERT_EQ(space->ChangeBrowsePosition(OPC_BROWSE_TO, W(t.current1->Path).c_str()), S_OK);
  ASSERT_EQ(other->ChangeBrowsePosition(OPC_BROWSE_TO, W(t.current1->Path).c_str()), S_OK);
  TComPtr<IEnumString> alive;
  ASSERT_EQ(space->BrowseOPCItemIDs(OPC_LEAF, u"", VT_EMPTY, 0, alive.Put()), S_OK);
  LPOLESTR first = nullptr;
  ASSERT_EQ(alive->Next(1, &first, nullptr), S_OK);
  CoTaskMemFree(first);

  tree.DetachChild(tree.Root(), t.boiler1);
  tree.Renumber();

  // The enumerator made before keeps its list and still ends properly.
  EXPECT_EQ(Drain(alive.Get()), (std::vector<std::string>{"Наработка", "Статус"}));
  // The next call learns the position is gone; the position is the root again.
  TComPtr<IEnumString> none;
  EXPECT_EQ(space->BrowseOPCItemIDs(OPC_LEAF, u"", VT_EMPTY, 0, none.Put()), E_FAIL);
  EXPECT_FALSE(none);
  EXPECT_EQ(Position(space.Get()), Da(kRoot));
  EXPECT_EQ(Browse(space.Get(), OPC_BRANCH).names, (std::vector<std::string>{"Котёл 2", "Длинный"}));
  EXPECT_EQ(space->ChangeBrowsePosition(OPC_BROWSE_TO, W(t.current1->Path).c_str()), E_INVALIDARG);
  // Every kind of call finds out the same way.
  EXPECT_EQ(other->ChangeBrowsePosition(OPC_BROWSE_UP, nullptr), E_FAIL);
  EXPECT_EQ(Position(other.Get()), Da(kRoot));
}

// ---- Item properties
// ---------------------------------------------------------------------------------------

class DaPropertiesTest : public DaBrowseTest {
 protected:
  DaPropertiesTest() : meter(AddMeter(key, {0x00})) {}

  TComPtr<IOPCItemProperties> NewProperties() {
    TComPtr<IOPCItemProperties> props;
    EXPECT_EQ(NewServer().As(props), S_OK);
    return props;
  }

  struct TValues {
    HRESULT hr = E_FAIL;
    std::vector<HRESULT> errors;
    std::vector<TVariant> values;
  };
  static TValues Get(IOPCItemProperties* props, const std::u16string& id, std::vector<DWORD> ids) {
    TValues out;
    VARIANT* data = nullptr;
    HRESULT* errors = nullptr;
    out.hr = props->GetItemProperties(const_cast<LPWSTR>(id.c_str()), static_cast<DWORD>(ids.size()),
                                      ids.data(), &data, &errors);
    for (size_t i = 0; errors && i < ids.size(); ++i) {
      out.errors.push_back(errors[i]);
      TVariant v;
      EXPECT_EQ(VariantToTVariant(data[i], v), S_OK);
      out.values.push_back(v);
      VariantClear(&data[i]);
    }
    CoTaskMemFree(data);
    CoTaskMemFree(errors);
    return out;
  }

  std::vector<TNTreeData*> meter;
};

TEST_F(DaPropertiesTest, AvailablePropertiesFollowWhatTheNodeKnows) {
  auto props = NewProperties();
  struct TCase {
    TNTreeData* node;
    std::vector<DWORD> ids;
  } cases[] = {
      {t.value1, {1, 2, 3, 4, 5, 6, 7, 8, 100, 101}}, {t.status1, {1, 2, 3, 4, 5, 6, 7, 8, 101}},  // no units
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.node->Path);
    for (const std::u16string& id : {W(c.node->Path), W(Da(c.node->Path))}) {
      DWORD count = 0;
      DWORD* ids = nullptr;
      LPWSTR* descriptions = nullptr;
      VARTYPE* types = nullptr;
      ASSERT_EQ(props->QueryAvailableProperties(const_cast<LPWSTR>(id.c_str()), &count, &ids, &descriptions,
                                                &types),
                S_OK);
      EXPECT_EQ(std::vector<DWORD>(ids, ids + count), c.ids);
      EXPECT_EQ(WideToUtf8(descriptions[0]), "Item Canonical DataType");
      EXPECT_EQ(types[0], VT_I2);
      for (DWORD i = 0; i < count; ++i) CoTaskMemFree(descriptions[i]);
      CoTaskMemFree(ids);
      CoTaskMemFree(descriptions);
      CoTaskMemFree(types);
    }
  }
  struct TBad {
    std::u16string id;
    HRESULT hr;
  } bad[] = {{W(kRoot + ".Нет такого"), OPC_E_UNKNOWNITEMID},
             {W(t.value1->Path + ".Value"), OPC_E_UNKNOWNITEMID},
             {u"Input1", OPC_E_UNKNOWNITEMID},
             {u"", OPC_E_INVALIDITEMID}};
  for (const auto& b : bad) {
    DWORD count = 5;
    DWORD* ids = reinterpret_cast<DWORD*>(1);
    LPWSTR* descriptions = nullptr;
    VARTYPE* types = nullptr;
    EXPECT_EQ(props->QueryAvailableProperties(const_cast<LPWSTR>(b.id.c_str()), &count, &ids, &descriptions,
                                              &types),
              b.hr);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(ids, nullptr);
  }
}

TEST_F(DaPropertiesTest, PropertyValuesAndErrorsIdById) {
  auto props = NewProperties();
  struct TCase {
    const char* what;
    TNTreeData* node;
    std::vector<DWORD> ids;
    HRESULT hr;
    std::vector<HRESULT> errors;
    std::vector<TVariant> values;
  } cases[] = {
      {"float parameter",
       t.value1,
       {1, 5, 6, 7, 8, 100, 101},
       S_OK,
       {S_OK, S_OK, S_OK, S_OK, S_OK, S_OK, S_OK},
       {TVariant::Int(VT_R4, VT_I2), TVariant::Int(OPC_READABLE), TVariant::Single(2000), TVariant::Int(0),
        TVariant::Empty(), TVariant::Str("Гкал"), TVariant::Str("Значение")}},
      {"unknown ids fail one by one",
       t.hours1,
       {9999, 1, 0, 5, 102, 5000},
       S_FALSE,
       {OPC_E_INVALID_PID, S_OK, OPC_E_INVALID_PID, S_OK, OPC_E_INVALID_PID, OPC_E_INVALID_PID},
       {TVariant::Empty(), TVariant::Int(VT_I4, VT_I2), TVariant::Empty(),
        TVariant::Int(OPC_READABLE | OPC_WRITEABLE), TVariant::Empty(), TVariant::Empty()}},
      {"string parameter without units",
       t.status1,
       {1, 5, 100},
       S_FALSE,
       {S_OK, S_OK, OPC_E_INVALID_PID},
       {TVariant::Int(VT_BSTR, VT_I2), TVariant::Int(OPC_WRITEABLE), TVariant::Empty()}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TValues got = Get(props.Get(), W(c.node->Path), c.ids);
    EXPECT_EQ(got.hr, c.hr);
    EXPECT_EQ(got.errors, c.errors);
    EXPECT_EQ(got.values, c.values);
  }
  TValues unknown = Get(props.Get(), W(kRoot + ".Нет"), {1});
  EXPECT_EQ(unknown.hr, OPC_E_UNKNOWNITEMID);
  EXPECT_TRUE(unknown.errors.empty());
  TValues none = Get(props.Get(), W(t.value1->Path), {});
  EXPECT_EQ(none.hr, E_INVALIDARG);
}

TEST_F(DaPropertiesTest, ValueQualityAndTimeComeFromTheDevice) {
  auto props = NewProperties();
  const TDateTime before = clock.Now();
  TValues got = Get(props.Get(), W(meter[0]->Path), {2, 3, 4, 1});
  const TDateTime after = clock.Now();
  ASSERT_EQ(got.hr, S_OK);
  EXPECT_EQ(got.errors, (std::vector<HRESULT>{S_OK, S_OK, S_OK, S_OK}));
  const float value = static_cast<float>(got.values[0].AsDouble());
  EXPECT_TRUE(value == sim::CurrentValue(kDaSerial, 0x00, before) ||
              value == sim::CurrentValue(kDaSerial, 0x00, after))
      << value;
  EXPECT_EQ(got.values[1], TVariant::Int(OPC_QUALITY_GOOD, VT_I2));
  EXPECT_EQ(got.values[2].vt, VT_DATE);
  EXPECT_EQ(got.values[3].i, got.values[0].vt);  // the value comes in its canonical type

  // A parameter no connection reaches answers as a read of it does: no value, a bad quality.
  TValues cut = Get(props.Get(), W(t.value1->Path), {2, 3, 100});
  EXPECT_EQ(cut.hr, S_OK);
  EXPECT_EQ(cut.values[0], TVariant::Empty());
  EXPECT_EQ(cut.values[1].i & OPC_QUALITY_MASK, OPC_QUALITY_BAD);
  EXPECT_EQ(cut.values[2], TVariant::Str("Гкал"));
  // The read leaves no group behind.
  TComPtr<IOPCServer> server;
  ASSERT_EQ(props.As(server), S_OK);
  OPCSERVERSTATUS* status = nullptr;
  ASSERT_EQ(server->GetStatus(&status), S_OK);
  EXPECT_EQ(status->dwGroupCount, 0u);
  CoTaskMemFree(status->szVendorInfo);
  CoTaskMemFree(status);
}

TEST_F(DaPropertiesTest, NoPropertyIsAnItemOfItsOwn) {
  auto props = NewProperties();
  std::vector<DWORD> ids = {1, 2, 100, 7777};
  LPWSTR* newIds = nullptr;
  HRESULT* errors = nullptr;
  ASSERT_EQ(
      props->LookupItemIDs(const_cast<LPWSTR>(W(t.value1->Path).c_str()), 4, ids.data(), &newIds, &errors),
      S_FALSE);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(errors[i], OPC_E_INVALID_PID);
    EXPECT_EQ(newIds[i], nullptr);
  }
  CoTaskMemFree(newIds);
  CoTaskMemFree(errors);
  EXPECT_EQ(props->LookupItemIDs(const_cast<LPWSTR>(u"Нет"), 4, ids.data(), &newIds, &errors),
            OPC_E_UNKNOWNITEMID);
}

}  // namespace
}  // namespace orvela::test
