// The server host on a program folder: what it registers, what a client in the process reaches through
// the ProgIDs, and that it leaves nothing running or alive when it goes.
#include "com/ServerHost.h"

#include <gtest/gtest.h>

#include "journal/JournalReader.h"
#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "opc_da/DaServerClass.h"
#include "opc_hda/HdaServerClass.h"
#include "platform/com/ComMemory.h"
#include "platform/com/ComRuntime.h"
#include "platform/com/ComText.h"
#include "platform/com/Registry.h"
#include "platform/com/opc/OpcDa.h"
#include "platform/com/opc/OpcHda.h"
#include "support/Fakes.h"
#include "support/ServerFolder.h"
#include "support/TempDir.h"
#include "tree/DemoConfig.h"

namespace orvela {
namespace {

class ServerHost : public ::testing::Test {
 protected:
  ServerHost() {
    line.AddDevice(sim::MakeDevice("tarvel2001", kDemoMeterAddress, kDemoMeterSerial));
    line.ListenTcp();
    test::WriteServerFolder(temp.Path(), line.Port());
  }

  bool JournalHas(const std::string& message) {
    for (const TJournalRow& row : ReadJournalRows(temp / kJournalDbFile))
      if (row.message == message) return true;
    return false;
  }

  sim::TLine line;
  test::TTempDir temp{"orvela-host"};
};

TEST_F(ServerHost, ClientsReachBothServersByProgIdAndNothingOutlivesTheHost) {
  const int64_t live = ComLiveObjects();
  {
    TServerHost host(temp.Path());
    ASSERT_TRUE(host.Serving());
    EXPECT_EQ(host.RegistrationError(), "");
    EXPECT_EQ(host.Start().DeviceCount, 2u);

    // The registration a client's look-up reads, and where it is kept.
    for (auto [progId, clsid] :
         {std::pair{kDaProgId, CLSID_OrvelaDA}, std::pair{kHdaProgId, CLSID_OrvelaHDA}}) {
      CLSID found{};
      ASSERT_EQ(CLSIDFromProgID(progId, &found), S_OK);
      EXPECT_TRUE(IsEqualGUID(found, clsid));
      LPOLESTR back = nullptr;
      ASSERT_EQ(ProgIDFromCLSID(clsid, &back), S_OK);
      EXPECT_EQ(std::u16string(back), progId);
      CoTaskMemFree(back);
      EXPECT_TRUE(
          RegistryDefaultText(HKEY_CLASSES_ROOT, "CLSID\\" + GuidToString(clsid) + "\\LocalServer32"));
    }
    EXPECT_EQ(RegistryDefaultText(HKEY_CLASSES_ROOT, "OrvelaOPC_HDA"), "OrvelaOPC Data Access 2.0");
    EXPECT_TRUE(std::filesystem::exists(temp / "registry"));

    CLSID da{}, hda{};
    ASSERT_EQ(CLSIDFromProgID(kDaProgId, &da), S_OK);
    ASSERT_EQ(CLSIDFromProgID(kHdaProgId, &hda), S_OK);
    TComPtr<IOPCServer> daServer;
    TComPtr<IOPCHDA_Server> hdaServer;
    ASSERT_EQ(CoCreateInstance(da, nullptr, CLSCTX_ALL, IID_IOPCServer, daServer.PutVoid()), S_OK);
    ASSERT_EQ(CoCreateInstance(hda, nullptr, CLSCTX_ALL, IID_IOPCHDA_Server, hdaServer.PutVoid()), S_OK);
    // The engine runs while either kind of object lives.
    EXPECT_TRUE(host.Engine().Running());
    daServer.Reset();
    EXPECT_TRUE(host.Engine().Running());
    hdaServer.Reset();
    EXPECT_FALSE(host.Engine().Running());
    EXPECT_EQ(host.Engine().Users(), 0);
  }
  EXPECT_EQ(ComLiveObjects(), live);
  // The class objects went with the host.
  TComPtr<IUnknown> none;
  EXPECT_TRUE(FAILED(CoCreateInstance(CLSID_OrvelaDA, nullptr, CLSCTX_ALL, IID_IUnknown, none.PutVoid())));
  EXPECT_FALSE(none);
  EXPECT_TRUE(JournalHas("Оболочка сервера запущена. Версия " ORVELA_VERSION));
}

TEST_F(ServerHost, RegistryWithoutWriteAccessIsJournalledAndTheServerStillServes) {
  {
    TServerHost first(temp.Path());  // leaves its registration in the folder
  }
  TRegistry::SetReadOnly(true);
  {
    TServerHost host(temp.Path());
    TRegistry::SetReadOnly(false);
    EXPECT_NE(host.RegistrationError(), "");
    ASSERT_TRUE(host.Serving());
    // What the earlier start registered still leads clients to the server.
    CLSID found{};
    ASSERT_EQ(CLSIDFromProgID(kDaProgId, &found), S_OK);
    TComPtr<IOPCServer> server;
    EXPECT_EQ(CoCreateInstance(found, nullptr, CLSCTX_ALL, IID_IOPCServer, server.PutVoid()), S_OK);
  }
  EXPECT_TRUE(JournalHas(kRegistrationFailed));
}

TEST_F(ServerHost, AToolHostingTheServerLeavesTheServerProgramRegistered) {
  const std::string localServer = "CLSID\\" + GuidToString(CLSID_OrvelaDA) + "\\LocalServer32";
  ASSERT_EQ(TRegistry::Open(temp.Path()), "");
  test::TJournalRecorder journal;
  ASSERT_EQ(RegisterServerClasses("/opt/orvela/OrvelaOPC", false, journal), "");
  TRegistry::Close();
  {
    TServerHostOptions tool;
    tool.startedByComServer = false;
    TServerHost host(temp.Path(), tool);
    EXPECT_EQ(RegistryDefaultText(HKEY_CLASSES_ROOT, localServer), "/opt/orvela/OrvelaOPC");
  }
  {
    TServerHost server(temp.Path());
    EXPECT_EQ(RegistryDefaultText(HKEY_CLASSES_ROOT, localServer),
              std::filesystem::read_symlink("/proc/self/exe").string());
  }
}

// OPC browsers pick a server by the categories it declares and then call that version's interfaces.
TEST_F(ServerHost, EachServerDeclaresOnlyTheCategoriesItsObjectsServe) {
  const auto declared = [](REFCLSID clsid, const CATID& category) {
    HKEY key = nullptr;
    const std::string path =
        "CLSID\\" + GuidToString(clsid) + "\\Implemented Categories\\" + GuidToString(category);
    const bool found =
        RegOpenKeyExW(HKEY_CLASSES_ROOT, Utf8ToUtf16(path).c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (found) RegCloseKey(key);
    return found;
  };
  // An earlier version of the program left DA 1.0 and 3.0 declared.
  ASSERT_EQ(TRegistry::Open(temp.Path()), "");
  {
    TComPtr<ICatRegister> categories;
    ASSERT_EQ(CreateComponentCategoriesManager(IID_ICatRegister, categories.PutVoid()), S_OK);
    CATID stale[] = {CATID_OPCDAServer10, CATID_OPCDAServer30};
    ASSERT_EQ(categories->RegisterClassImplCategories(CLSID_OrvelaDA, 2, stale), S_OK);
  }
  TRegistry::Close();
  TServerHost host(temp.Path());
  ASSERT_EQ(host.RegistrationError(), "");
  struct TCase {
    const char* name;
    CLSID clsid;
    CATID category;
    bool served;
  };
  const TCase cases[] = {
      {"DA 2.0", CLSID_OrvelaDA, CATID_OPCDAServer20, true},
      {"DA 1.0 (no IOPCAsyncIO)", CLSID_OrvelaDA, CATID_OPCDAServer10, false},
      {"DA 3.0", CLSID_OrvelaDA, CATID_OPCDAServer30, false},
      {"HDA 1.0", CLSID_OrvelaHDA, CATID_OPCHDAServer10, true},
  };
  for (const TCase& c : cases) EXPECT_EQ(declared(c.clsid, c.category), c.served) << c.name;
  // The DA 1.0 category would promise IOPCAsyncIO on the groups, which they do not serve.
  TComPtr<IOPCServer> server;
  ASSERT_EQ(CoCreateInstance(CLSID_OrvelaDA, nullptr, CLSCTX_ALL, IID_IOPCServer, server.PutVoid()), S_OK);
  OPCHANDLE handle = 0;
  DWORD revised = 0;
  TComPtr<IUnknown> group;
  ASSERT_EQ(server->AddGroup(u"G", FALSE, 2000, 1, nullptr, nullptr, 0, &handle, &revised, IID_IUnknown,
                             group.Put()),
            S_OK);
  TComPtr<IUnknown> old;
  EXPECT_EQ(group->QueryInterface(IID_IOPCAsyncIO, old.PutVoid()), E_NOINTERFACE);
}

TEST_F(ServerHost, ConfigurationThatDoesNotLoadServesNothing) {
  test::WriteBytes(temp / "Config.kopc", {0x01, 0x02, 0x03});
  TServerHost host(temp.Path());
  EXPECT_FALSE(host.Start().Completed());
  EXPECT_EQ(host.Start().FailureMessage, kStartFailedMessage);
  EXPECT_FALSE(host.Serving());
  TComPtr<IUnknown> none;
  EXPECT_TRUE(FAILED(CoCreateInstance(CLSID_OrvelaDA, nullptr, CLSCTX_ALL, IID_IUnknown, none.PutVoid())));
}

}  // namespace
}  // namespace orvela
