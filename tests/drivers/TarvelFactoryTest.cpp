// The device factory: which model code on which protocol kind gets a data model, and what the links and
// models it makes are wired to.
#include "drivers/TarvelFactory.h"

#include <gtest/gtest.h>

#include "drivers/Tarvel2001.h"
#include "links/TcpConnectionPort.h"
#include "platform/JournalSink.h"
#include "protocols/XModemProtocol.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

using enum TModelClass;

TEST(TarvelFactory, ModelTable) {
  struct Case {
    uint8_t code;
    uint8_t prot;
    TModelClass cls;
  };
  const Case cases[] = {
      {1, 0, TarvelM},    {1, 1, TarvelM_MB},    {1, 3, TarvelM},
      {2, 0, Tarvel2001}, {2, 1, Tarvel2001_MB}, {2, 3, Tarvel2001},
      {3, 0, TarvelF},    {3, 1, TarvelF_MB},    {4, 0, KOrlix_XM},
      {4, 1, KOrlix_MB},  {4, 3, None},          {5, 4, KZelio},
      {6, 2, KM},         {7, 6, TarvelKom},     {8, 0, KCe6822},
      {9, 5, KIntelekon}, {10, 1, KNeyron},      {12, 3, KOrlix_MB307},
      {11, 0, None},      {44, 0, None},         {0, 0, None},
      {2, 9, None},
  };
  for (const Case& c : cases) EXPECT_EQ(TTarvelFactory::ModelClassFor(c.code, c.prot), c.cls) << int(c.code);
  // M-Bus gives none of the maker's own meters.
  for (uint8_t code = 1; code <= 4; ++code) EXPECT_EQ(TTarvelFactory::ModelClassFor(code, 2), None);
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

class TOwner : public ILinkOwner {
 public:
  int calls = 0;
  void Synchronize(const std::function<void()>& fn) override {
    ++calls;
    fn();
  }
};

class TJournalCapture : public IJournalSink {
 public:
  TJournalCapture() { SetJournalSink(this); }
  ~TJournalCapture() override { SetJournalSink(nullptr); }
  std::vector<std::pair<std::string, std::string>> lines;
  void Journal(const std::string& message, const std::string& second) override {
    lines.emplace_back(message, second);
  }
};

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
  TOwner owner;
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
  auto model = TTarvelFactory::CreateModel(mcTarvel2001, catalog.settings.Key, &owner, &link, &catalog);
  ASSERT_NE(dynamic_cast<TTarvel2001*>(model.get()), nullptr);
  EXPECT_NE(dynamic_cast<XModemProtocol*>(model->Framing()), nullptr);
  EXPECT_EQ(model->Framing()->Link(), &link);
  EXPECT_EQ(model->Link(), &link);
  EXPECT_EQ(model->Order(), &catalog.order);
  EXPECT_EQ(model->Owner(), &owner);

  // Families and framings not built yet, and codes without a class, give no model.
  EXPECT_EQ(TTarvelFactory::CreateModel(mcOrlix, KeyWith(TProtKind::Ob), &owner, &link, &catalog), nullptr);
  EXPECT_EQ(TTarvelFactory::CreateModel(mcTarvel2001, KeyWith(TProtKind::MBus), &owner, &link, &catalog),
            nullptr);
  EXPECT_EQ(TTarvelFactory::CreateModel(11, catalog.settings.Key, &owner, &link, &catalog), nullptr);
  EXPECT_EQ(TTarvelFactory::CreateModel(mcNotReadable, catalog.settings.Key, &owner, &link, &catalog),
            nullptr);
}

TEST_F(TarvelFactoryWiring, ModelWithItsOwnLink) {
  TJournalCapture journal;
  auto model = TTarvelFactory::CreateModelWithLink(mcTarvel2001, catalog.settings.Key, &owner, &catalog);
  ASSERT_NE(model, nullptr);
  ASSERT_NE(model->Link(), nullptr);
  // The model frees its link (the sanitizer reports a leak otherwise); only the Tarvel M driver keeps the
  // owner thread here.
  EXPECT_TRUE(model->Link()->OwnedByModel());
  EXPECT_EQ(model->Link()->Settings(), &catalog.settings);
  EXPECT_EQ(model->Owner(), nullptr);
  model.reset();

  catalog.listed = false;
  EXPECT_EQ(TTarvelFactory::CreateModelWithLink(mcTarvel2001, catalog.settings.Key, &owner, &catalog),
            nullptr);
  ASSERT_EQ(journal.lines.size(), 1u);
  EXPECT_EQ(journal.lines[0].first, "Соединение не найдено");
}

TEST_F(TarvelFactoryWiring, ScanModelIsAPlainDataModel) {
  TConnectionDevice link;
  auto scan = TTarvelFactory::CreateScanModel(0, &link, &owner);
  ASSERT_NE(scan, nullptr);
  EXPECT_EQ(typeid(*scan), typeid(TDataModel));
  EXPECT_EQ(scan->Owner(), nullptr);
  EXPECT_EQ(TTarvelFactory::CreateScanModel(2, &link, &owner), nullptr);
}

}  // namespace
}  // namespace orvela
