// The device factory: which model code on which protocol kind gets a data model, and what the links and
// models it makes are wired to.
#include "drivers/TarvelFactory.h"

#include <gtest/gtest.h>

#include <atomic>

#include <set>
#include <string_view>

#include "drivers/Families.h"
#include "drivers/Tarvel2001.h"
#include "links/TcpConnectionPort.h"
#include "platform/JournalSink.h"
#include "protocols/XModemProtocol.h"
#include "support/Fakes.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

TEST(TarvelFactory, ModelTable) {
  struct Case {
    uint8_t code;
    uint8_t prot;
    std::string_view cls;  // empty: no data model
  };
  const Case cases[] = {
      {1, 0, "TTarvelM"},
      {1, 1, "TTarvelM_MB"},
      {1, 3, "TTarvelM"},
      {2, 0, "TTarvel2001"},
      {2, 1, "TTarvel2001_MB"},
      {2, 3, "TTarvel2001"},
      {3, 0, "TTarvelF"},
      {3, 1, "TTarvelF_MB"},
      {4, 0, "TKOrlix_XM"},
      {4, 1, "TKOrlix_MB"},
      {4, 3, ""},
      {5, 4, "TKZelio"},
      {6, 2, "TKM"},
      {7, 6, "TTarvelKom"},
      {8, 0, "TKCe6822"},
      {9, 5, "TKIntelekon"},
      {10, 1, "TKNeyron"},
      {12, 3, "TKOrlix_MB307"},
      {11, 0, ""},
      {44, 0, ""},
      {0, 0, ""},
      {2, 9, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(TTarvelFactory::ModelClassFor(c.code, c.prot), c.cls) << int(c.code);
  // M-Bus gives none of the maker's own meters.
  for (uint8_t code = 1; code <= 4; ++code) EXPECT_EQ(TTarvelFactory::ModelClassFor(code, 2), "");
}

TEST(Families, OneRowPerCodeWithItsScanAnswerAndNames) {
  std::set<uint8_t> codes;
  std::set<std::string_view> keys;
  for (const TFamily& family : kFamilies) {
    EXPECT_TRUE(codes.insert(family.code).second) << int(family.code);
    EXPECT_TRUE(keys.insert(family.key).second) << family.key;
  }
  using enum TIdentifyStage;
  struct Case {
    TIdentifyStage stage;
    uint8_t nibble;
    uint8_t code;  // 0: names no family
  };
  const Case cases[] = {{First, 8, mcTarvelM},
                        {Second, 8, mcTarvel2001},
                        {Second, 3, mcTarvelF},
                        {First, 1, 0},
                        {First, 3, 0},
                        {Second, 1, 0},
                        {None, 0, 0}};
  for (const Case& c : cases) {
    const TFamily* named = FamilyIdentifiedBy(c.stage, c.nibble);
    EXPECT_EQ(named != nullptr ? named->code : 0, c.code) << int(c.nibble);
  }
  EXPECT_TRUE(FamilyIdentifiedBy(Second, 3)->namedByRefusal);
  EXPECT_FALSE(FamilyIdentifiedBy(Second, 8)->namedByRefusal);

  EXPECT_EQ(FamilyDisplayName(mcTarvel2001), "ТАРВЕЛ мод.2001");
  EXPECT_EQ(FamilyDisplayName(mcTarvel2001, true), "TARVEL2001");
  EXPECT_EQ(FamilyDisplayName(mcTarvelF, true), "ТАРВЕЛ");
  EXPECT_EQ(FamilyDisplayName(11), "");
  EXPECT_EQ(FindFamily(mcTarvelKompakt)->stopBits, 2);
}

class TCatalog : public IConnectionCatalog {
 public:
  TConnSettings settings;
  TMemoryChannelLog order;
  bool listed = true;
  TConnSettings* FindSettings(const TConnKey& key) override {
    return listed && key == settings.Key ? &settings : nullptr;
  }
  IChannelLog* FindOrder(const TConnKey& key) override {
    return listed && key == settings.Key ? &order : nullptr;
  }
};

using test::TJournalCapture;

class TarvelFactoryWiring : public ::testing::Test {
 protected:
  void SetUp() override {
    catalog.settings.Key.ConnName = "Котельная";
    catalog.settings.Key.ConnType = static_cast<uint8_t>(TConnKind::TcpClient);
    catalog.settings.Key.ProtType = static_cast<uint8_t>(TProtKind::XModem);
    catalog.settings.Key.IP_Addr = "127.0.0.1";
    catalog.settings.Key.IP_Port = 4001;
  }
  TConnKey KeyWith(TProtKind prot) const {
    TConnKey key = catalog.settings.Key;
    key.ProtType = static_cast<uint8_t>(prot);
    return key;
  }
  TCatalog catalog;
  test::TCountingOwner owner;
};

TEST_F(TarvelFactoryWiring, LinkGetsTheSharedSettingsLookedUpThroughTheOwner) {
  auto link = TTarvelFactory::CreateLink(catalog.settings.Key, &owner, &catalog);
  ASSERT_NE(dynamic_cast<TTCPConnectionPort*>(link.get()), nullptr);
  EXPECT_EQ(link->Settings(), &catalog.settings);
  EXPECT_EQ(link->Order(), &catalog.order);
  EXPECT_EQ(link->Owner(), &owner);
  EXPECT_EQ(owner.calls, 1);

  TConnKey closedLibrary = catalog.settings.Key;
  closedLibrary.ConnType = 9;
  EXPECT_EQ(TTarvelFactory::CreateLink(closedLibrary, &owner, &catalog), nullptr);
}

TEST_F(TarvelFactoryWiring, ModelsOfTheBuiltFamilies) {
  TConnectionDevice link;
  auto model = TTarvelFactory::CreateModel(mcTarvel2001, catalog.settings.Key, &owner, &link, {}, &catalog);
  ASSERT_NE(dynamic_cast<TTarvel2001*>(model.get()), nullptr);
  EXPECT_NE(dynamic_cast<XModemProtocol*>(model->Framing()), nullptr);
  EXPECT_EQ(model->Framing()->Link(), &link);
  EXPECT_EQ(model->Link(), &link);
  EXPECT_EQ(model->Order(), &catalog.order);
  EXPECT_EQ(model->Owner(), &owner);

  // Families and framings not built yet, and codes without a class, give no model.
  EXPECT_EQ(TTarvelFactory::CreateModel(mcOrlix, KeyWith(TProtKind::Ob), &owner, &link, {}, &catalog),
            nullptr);
  EXPECT_EQ(TTarvelFactory::CreateModel(mcTarvel2001, KeyWith(TProtKind::MBus), &owner, &link, {}, &catalog),
            nullptr);
  EXPECT_EQ(TTarvelFactory::CreateModel(11, catalog.settings.Key, &owner, &link, {}, &catalog), nullptr);
  EXPECT_EQ(TTarvelFactory::CreateModel(mcNotReadable, catalog.settings.Key, &owner, &link, {}, &catalog),
            nullptr);
}

// Whatever a caller creates, the model runs with the process's settings, naming and terminate flag.
TEST_F(TarvelFactoryWiring, ModelsRunWithTheEnvironmentTheyAreGiven) {
  std::atomic<bool> shutdown{false};
  TModelEnvironment environment{.English = true, .Shutdown = &shutdown};
  environment.Settings.ClockCheckMinutes = 17;
  TConnectionDevice link;
  auto models = {
      TTarvelFactory::CreateModel(mcTarvel2001, catalog.settings.Key, &owner, &link, environment, &catalog),
      TTarvelFactory::CreateModelWithLink(mcTarvel2001, catalog.settings.Key, &owner, environment, &catalog),
      TTarvelFactory::CreateScanModel(0, &link, &owner, environment)};
  for (const auto& model : models) {
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->Settings().ClockCheckMinutes, 17);
    EXPECT_TRUE(model->English());
    EXPECT_FALSE(model->Framing()->ShuttingDown());
    shutdown = true;
    EXPECT_TRUE(model->Framing()->ShuttingDown());
    shutdown = false;
  }
}

TEST_F(TarvelFactoryWiring, ModelWithItsOwnLink) {
  TJournalCapture journal;
  auto model = TTarvelFactory::CreateModelWithLink(mcTarvel2001, catalog.settings.Key, &owner, {}, &catalog);
  ASSERT_NE(model, nullptr);
  ASSERT_NE(model->Link(), nullptr);
  // The model frees its link (the sanitizer reports a leak otherwise); only the Tarvel M driver keeps the
  // owner thread here.
  EXPECT_TRUE(model->OwnsLink());
  EXPECT_EQ(model->Link()->Settings(), &catalog.settings);
  EXPECT_EQ(model->Owner(), nullptr);
  model.reset();

  catalog.listed = false;
  EXPECT_EQ(TTarvelFactory::CreateModelWithLink(mcTarvel2001, catalog.settings.Key, &owner, {}, &catalog),
            nullptr);
  ASSERT_EQ(journal.lines.size(), 1u);
  EXPECT_EQ(journal.lines[0], "Соединение не найдено");
}

TEST_F(TarvelFactoryWiring, ScanModelIsAPlainDataModel) {
  TConnectionDevice link;
  auto scan = TTarvelFactory::CreateScanModel(0, &link, &owner, {});
  ASSERT_NE(scan, nullptr);
  EXPECT_EQ(typeid(*scan), typeid(TDataModel));
  EXPECT_EQ(scan->Owner(), nullptr);
  EXPECT_EQ(TTarvelFactory::CreateScanModel(2, &link, &owner, {}), nullptr);
}

}  // namespace
}  // namespace orvela
