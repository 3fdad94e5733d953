// The HDA browser as a client gets it from CreateBrowse: its attribute filters and their errors, its
// position, listings by HDA visibility, item ids the server's other calls accept, and a device removed
// while a browser stands inside it.
#include <optional>

#include "opc_hda/HdaTestSupport.h"
#include "platform/com/ComText.h"
#include "support/BrowseTree.h"

namespace orvela::test {
namespace {

const std::string kRoot = kRootNameRu;

std::u16string W(const std::string& s) {
  return Utf8ToUtf16(s);
}

// A filter's value is a number or a text.
struct TFilter {
  DWORD attribute;
  OPCHDA_OPERATORCODES op;
  const char* text = "";
  std::optional<int64_t> number = std::nullopt;
  TVariant Value() const { return number ? TVariant::Int(*number) : TVariant::Str(text); }
};

class HdaBrowseTest : public HdaServerTest {
 protected:
  HdaBrowseTest() : t(BuildBrowseTree(tree)) {}

  struct TCreated {
    HRESULT hr = E_FAIL;
    std::vector<HRESULT> errors;
    TComPtr<IOPCHDA_Browser> browser;
  };
  TCreated Create(const std::vector<TFilter>& filters = {}) {
    if (!server) server = CreateServer();
    std::vector<DWORD> ids;
    std::vector<OPCHDA_OPERATORCODES> ops;
    std::vector<VARIANT> values(filters.size());
    for (size_t i = 0; i < filters.size(); ++i) {
      ids.push_back(filters[i].attribute);
      ops.push_back(filters[i].op);
      VariantInit(&values[i]);
      EXPECT_EQ(TVariantToVariant(filters[i].Value(), &values[i]), S_OK);
    }
    TCreated out;
    HRESULT* errors = nullptr;
    out.hr = server->CreateBrowse(static_cast<DWORD>(filters.size()), ids.data(), ops.data(), values.data(),
                                  out.browser.Put(), &errors);
    if (errors) out.errors.assign(errors, errors + filters.size());
    CoTaskMemFree(errors);
    for (auto& v : values) VariantClear(&v);
    return out;
  }

  struct TListing {
    HRESULT hr = E_FAIL;
    std::vector<std::string> names;
  };
  static TListing Enum(IOPCHDA_Browser* browser, OPCHDA_BROWSETYPE type) {
    TListing out;
    TComPtr<IEnumString> e;
    out.hr = browser->GetEnum(type, e.Put());
    if (e) out.names = Drain(e.Get());
    return out;
  }
  static std::string Position(IOPCHDA_Browser* browser) {
    LPWSTR text = nullptr;
    EXPECT_EQ(browser->GetBranchPosition(&text), S_OK);
    std::string out = WideToUtf8(text);
    CoTaskMemFree(text);
    return out;
  }

  TBrowseTree t;
  TComPtr<IOPCHDA_Server> server;
};

TEST_F(HdaBrowseTest, CreateBrowseAnswersEachFilterAndAppliesTheOnesItCan) {
  TCreated created = Create({{OPCHDA_ENG_UNITS, OPCHDA_EQUAL, "Гкал"},
                             {99, OPCHDA_EQUAL, "", 1},
                             {OPCHDA_NORMAL_MAXIMUM, OPCHDA_LESS, "", 5},
                             {OPCHDA_DATA_TYPE, OPCHDA_EQUAL, "не число"},
                             {OPCHDA_DESCRIPTION, static_cast<OPCHDA_OPERATORCODES>(9), "V"}});
  EXPECT_EQ(created.hr, S_FALSE);
  EXPECT_EQ(created.errors, (std::vector<HRESULT>{S_OK, OPC_E_UNKNOWNATTRID, OPC_W_NOFILTER,
                                                  OPC_E_INVALIDDATATYPE, E_INVALIDARG}));
  ASSERT_TRUE(created.browser);
  ASSERT_EQ(created.browser->ChangeBrowsePosition(OPCHDA_BROWSE_DIRECT, W(t.hourly1->Path).c_str()), S_OK);
  EXPECT_EQ(Enum(created.browser.Get(), OPCHDA_LEAF).names, std::vector<std::string>{"Q"});
  EXPECT_EQ(logs.JournalCount("Создан браузер HDA"), 1);

  TCreated plain = Create();
  EXPECT_EQ(plain.hr, S_OK);
  ASSERT_TRUE(plain.browser);
  EXPECT_EQ(Position(plain.browser.Get()), kRoot);

  IOPCHDA_Browser* none = reinterpret_cast<IOPCHDA_Browser*>(1);
  HRESULT* errors = reinterpret_cast<HRESULT*>(1);
  EXPECT_EQ(server->CreateBrowse(2, nullptr, nullptr, nullptr, &none, &errors), E_INVALIDARG);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(errors, nullptr);
}

TEST_F(HdaBrowseTest, AttributeFiltersSelectItems) {
  struct TCase {
    const char* what;
    TFilter filter;
    std::vector<std::string> names;
  };
  const std::vector<TCase> cases = {
      {"units equal", {OPCHDA_ENG_UNITS, OPCHDA_EQUAL, "Гкал"}, {"Q"}},
      {"units not equal", {OPCHDA_ENG_UNITS, OPCHDA_NOTEQUAL, "Гкал"}, {"V"}},
      {"data type as a number", {OPCHDA_DATA_TYPE, OPCHDA_EQUAL, "", VT_R4}, {"V", "Q"}},
      {"data type from text", {OPCHDA_DATA_TYPE, OPCHDA_GREATER, "4"}, {}},
      {"description less", {OPCHDA_DESCRIPTION, OPCHDA_LESS, "R"}, {"Q"}},
      {"description at least", {OPCHDA_DESCRIPTION, OPCHDA_GREATEREQUAL, "V"}, {"V"}},
      {"an attribute the items lack", {OPCHDA_ITEMID, OPCHDA_NOTEQUAL, ""}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TCreated created = Create({c.filter});
    ASSERT_EQ(created.hr, S_OK);
    ASSERT_EQ(created.browser->ChangeBrowsePosition(OPCHDA_BROWSE_DIRECT, W(t.hourly1->Path).c_str()), S_OK);
    TListing items = Enum(created.browser.Get(), OPCHDA_ITEMS);
    EXPECT_EQ(items.names, c.names);
    EXPECT_EQ(items.hr, c.names.empty() ? S_FALSE : S_OK);
    // Branches are not filtered.
    ASSERT_EQ(created.browser->ChangeBrowsePosition(OPCHDA_BROWSE_UP, nullptr), S_OK);
    EXPECT_EQ(Enum(created.browser.Get(), OPCHDA_BRANCH).names, std::vector<std::string>{"Почасовой архив"});
  }
}

TEST_F(HdaBrowseTest, PositionListingsAndItemIds) {
  auto browser = Create().browser;
  ASSERT_TRUE(browser);
  const std::string boiler1 = kRoot + ".Котёл 1";
  struct TMove {
    OPCHDA_BROWSEDIRECTION direction;
    std::string name;
    HRESULT hr;
    std::string position;
  } moves[] = {
      {OPCHDA_BROWSE_UP, "", E_FAIL, kRoot},
      {OPCHDA_BROWSE_DOWN, "Котёл 1", S_OK, boiler1},
      {OPCHDA_BROWSE_DOWN, "Текущие данные", E_INVALIDARG, boiler1},  // shown to DA clients only
      {OPCHDA_BROWSE_DOWN, "Нет", E_INVALIDARG, boiler1},
      {OPCHDA_BROWSE_DOWN, "Почасовой архив", S_OK, t.hourly1->Path},
      {OPCHDA_BROWSE_DIRECT, t.boiler2->Path, S_OK, t.boiler2->Path},
      {OPCHDA_BROWSE_DIRECT, kRoot + ".Нет", E_INVALIDARG, t.boiler2->Path},
      {static_cast<OPCHDA_BROWSEDIRECTION>(9), "", E_INVALIDARG, t.boiler2->Path},
      {OPCHDA_BROWSE_DIRECT, "", S_OK, kRoot},
  };
  for (const auto& m : moves) {
    SCOPED_TRACE(m.name);
    EXPECT_EQ(browser->ChangeBrowsePosition(m.direction, W(m.name).c_str()), m.hr);
    EXPECT_EQ(Position(browser.Get()), m.position);
  }

  const std::string meter = tree.Root()->Children.front()->Name;
  struct TCase {
    std::string position;
    OPCHDA_BROWSETYPE type;
    HRESULT hr;
    std::vector<std::string> names;
  } cases[] = {
      {"", OPCHDA_BRANCH, S_OK, {meter, "Котёл 1", "Котёл 2", "Длинный"}},
      {boiler1, OPCHDA_BRANCH, S_OK, {"Почасовой архив"}},
      {boiler1, OPCHDA_FLAT, S_OK, {t.hourly1->Path + ".V", t.hourly1->Path + ".Q"}},
      {t.hourly1->Path, OPCHDA_LEAF, S_OK, {"V", "Q"}},
      {t.hourly1->Path, OPCHDA_BRANCH, S_FALSE, {}},
      {t.boiler2->Path, OPCHDA_FLAT, S_FALSE, {}},  // its only branch is hidden from HDA
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.position + " " + std::to_string(c.type));
    ASSERT_EQ(browser->ChangeBrowsePosition(OPCHDA_BROWSE_DIRECT, W(c.position).c_str()), S_OK);
    TListing got = Enum(browser.Get(), c.type);
    EXPECT_EQ(got.hr, c.hr);
    EXPECT_EQ(got.names, c.names);
  }
  IEnumString* e = reinterpret_cast<IEnumString*>(1);
  EXPECT_EQ(browser->GetEnum(static_cast<OPCHDA_BROWSETYPE>(5), &e), E_INVALIDARG);
  EXPECT_EQ(e, nullptr);

  // Ids without the DA side's "\\", accepted by GetItemHandles.
  ASSERT_EQ(browser->ChangeBrowsePosition(OPCHDA_BROWSE_DIRECT, W(t.hourly1->Path).c_str()), S_OK);
  LPWSTR id = nullptr;
  ASSERT_EQ(browser->GetItemID(u"Q", &id), S_OK);
  EXPECT_EQ(WideToUtf8(id), t.hourly1->Path + ".Q");
  OPCHANDLE client = 5;
  OPCHANDLE* handles = nullptr;
  HRESULT* errors = nullptr;
  ASSERT_EQ(server->GetItemHandles(1, &id, &client, &handles, &errors), S_OK);
  EXPECT_EQ(errors[0], S_OK);
  EXPECT_EQ(handles[0], static_cast<OPCHANDLE>(t.hourly1->Children[1]->Handle));
  CoTaskMemFree(handles);
  CoTaskMemFree(errors);
  CoTaskMemFree(id);
  id = reinterpret_cast<LPWSTR>(1);
  EXPECT_EQ(browser->GetItemID(u"Нет", &id), E_INVALIDARG);
  EXPECT_EQ(id, nullptr);
}

TEST_F(HdaBrowseTest, BrowsersKeepTheirOwnPositionsAndSurviveTheirDevicesRemoval) {
  auto first = Create().browser;
  auto second = Create().browser;
  ASSERT_EQ(first->ChangeBrowsePosition(OPCHDA_BROWSE_DIRECT, W(t.hourly1->Path).c_str()), S_OK);
  ASSERT_EQ(second->ChangeBrowsePosition(OPCHDA_BROWSE_DIRECT, W(t.boiler2->Path).c_str()), S_OK);
  TComPtr<IEnumString> alive;
  ASSERT_EQ(first->GetEnum(OPCHDA_LEAF, alive.Put()), S_OK);
  EXPECT_EQ(Position(second.Get()), t.boiler2->Path);

  tree.DetachChild(tree.Root(), t.boiler1);
  tree.Renumber();

  EXPECT_EQ(Drain(alive.Get()), (std::vector<std::string>{"V", "Q"}));
  TComPtr<IEnumString> none;
  EXPECT_EQ(first->GetEnum(OPCHDA_LEAF, none.Put()), E_FAIL);
  EXPECT_FALSE(none);
  EXPECT_EQ(Position(first.Get()), kRoot);
  EXPECT_EQ(Position(second.Get()), t.boiler2->Path);
  EXPECT_EQ(first->ChangeBrowsePosition(OPCHDA_BROWSE_DIRECT, W(t.hourly1->Path).c_str()), E_INVALIDARG);
}

}  // namespace
}  // namespace orvela::test
