#include "com/ServerHost.h"

#include <iostream>
#include <system_error>

#include "engine/ConnOrder.h"
#include "journal/JournalStart.h"
#include "links/PortMap.h"
#include "opc_da/DaServerClass.h"
#include "opc_da/DaServerState.h"
#include "opc_hda/HdaServerClass.h"
#include "platform/MainThread.h"
#include "platform/com/ComRuntime.h"
#include "platform/com/ComText.h"
#include "platform/com/Registry.h"
#include "platform/com/opc/OpcCommon.h"
#include "tree/WorkLog.h"

namespace orvela {

// ---- Registration
// -------------------------------------------------------------------------------------------

namespace {

struct TRegistryRow {
  std::string key;
  std::string value;
  bool keepExisting = false;  // written only where the key holds no value yet
};

// The keys of one server, in the order they are written.
std::vector<TRegistryRow> ServerKeys(const std::u16string& progId, REFCLSID clsid,
                                     const std::string& classText, const std::string& localServer,
                                     bool keepLocalServer, bool progIdBeforeServer) {
  const std::string name = Utf16ToUtf8(progId);
  const std::string classKey = "CLSID\\" + GuidToString(clsid);
  // Both ProgIDs carry the DA text: clients have always been shown this one.
  std::vector<TRegistryRow> rows = {
      {name, "OrvelaOPC Data Access 2.0"}, {name + "\\Clsid", GuidToString(clsid)}, {classKey, classText}};
  if (progIdBeforeServer) {
    rows.push_back({classKey + "\\ProgID", name});
    rows.push_back({classKey + "\\LocalServer32", localServer, keepLocalServer});
  } else {
    rows.push_back({classKey + "\\LocalServer32", localServer, keepLocalServer});
    rows.push_back({classKey + "\\ProgID", name});
  }
  return rows;
}

std::string WriteDefaultValue(const TRegistryRow& row) {
  if (row.keepExisting && RegistryDefaultText(HKEY_CLASSES_ROOT, row.key)) return {};
  HKEY key = nullptr;
  LSTATUS st = RegCreateKeyExW(HKEY_CLASSES_ROOT, Utf8ToUtf16(row.key).c_str(), 0, nullptr,
                               REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr);
  if (st == ERROR_SUCCESS) {
    std::u16string data = Utf8ToUtf16(row.value);
    data.push_back(0);
    st = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.data()),
                        static_cast<DWORD>(data.size() * sizeof(char16_t)));
    RegCloseKey(key);
  }
  if (st == ERROR_SUCCESS) return {};
  return "HKEY_CLASSES_ROOT\\" + row.key + ": error " + std::to_string(st);
}

struct TCategoryRow {
  CATID catid;
  const char* description;
};

// A category and the class in it; false when either failed.
bool RegisterInCategory(ICatRegister& categories, REFCLSID clsid, const TCategoryRow& row) {
  CATEGORYINFO info{};
  info.catid = row.catid;
  info.lcid = 0x409;
  const std::u16string text = Utf8ToUtf16(row.description);
  text.copy(info.szDescription, std::size(info.szDescription) - 1);
  CATID id = row.catid;
  return SUCCEEDED(categories.RegisterCategories(1, &info)) &&
         SUCCEEDED(categories.RegisterClassImplCategories(clsid, 1, &id));
}

}  // namespace

std::string RegisterServerClasses(const std::filesystem::path& programPath, bool keepLocalServer,
                                  IJournalSink& journal) {
  const std::string path = programPath.string();
  // HDA first, then DA, as clients that look for either find the pair complete.
  std::vector<TRegistryRow> rows =
      ServerKeys(kHdaProgId, CLSID_OrvelaHDA, "OrvelaOPC_HDA", path, keepLocalServer, false);
  for (TRegistryRow& row :
       ServerKeys(kDaProgId, CLSID_OrvelaDA, "OrvelaOPC_DA 2.0", path, keepLocalServer, true))
    rows.push_back(std::move(row));
  for (const TRegistryRow& row : rows)
    if (std::string error = WriteDefaultValue(row); !error.empty()) return error;

  TComPtr<ICatRegister> categories;
  if (FAILED(CreateComponentCategoriesManager(IID_ICatRegister, categories.PutVoid())) || !categories)
    return "component category manager unavailable";
  // Only the versions whose interfaces the objects serve: a browser that trusts a category calls them.
  const TCategoryRow hda = {CATID_OPCHDAServer10, "OPC Historical Data Access Servers Version 1.0"};
  const TCategoryRow da = {CATID_OPCDAServer20, "OPC Data Access Servers Version 2.0"};
  bool categoriesGood = RegisterInCategory(*categories.Get(), CLSID_OrvelaHDA, hda);
  categoriesGood = RegisterInCategory(*categories.Get(), CLSID_OrvelaDA, da) && categoriesGood;
  // Earlier versions of the program declared DA 1.0 and 3.0 as well: those entries go.
  CATID undeclared[] = {CATID_OPCDAServer10, CATID_OPCDAServer30};
  categoriesGood = SUCCEEDED(categories->UnRegisterClassImplCategories(CLSID_OrvelaDA, std::size(undeclared),
                                                                       undeclared)) &&
                   categoriesGood;
  // Clients still find the servers by ProgID: a category failure is told, not fatal.
  if (!categoriesGood) journal.Journal(kCategoryRegistrationFailed, "");
  return {};
}

// ---- The connections the readers' links take their settings from
// ---------------------------------------------------------------------

class TServerHost::TConnections final : public IConnectionCatalog {
 public:
  explicit TConnections(const TConnectionList& list) : list_(list) {}
  void Attach(TAsyncEngine& engine) { engine_ = &engine; }

  // The list does not change while the host serves (editing is off while the engine runs).
  TConnSettings* FindSettings(const TConnKey& key) override {
    const std::string name = FoldConnName(key.ConnName);
    for (const TConnRow& row : list_.Rows)
      if (row.Settings && FoldConnName(row.Columns[ccName]) == name) return row.Settings.get();
    return nullptr;
  }
  // The orders exist while the engine runs, which is whenever a reader asks.
  IChannelLog* FindOrder(const TConnKey& key) override {
    if (engine_ == nullptr) return nullptr;
    const std::string name = FoldConnName(key.ConnName);
    for (size_t i = 0; i < engine_->ConnectionCount(); ++i)
      if (FoldConnName(engine_->Order(i).Key().ConnName) == name) return &engine_->Order(i);
    return nullptr;
  }

 private:
  const TConnectionList& list_;
  TAsyncEngine* engine_ = nullptr;
};

// ---- The host
// -----------------------------------------------------------------------------------------------

namespace {

// Makes the folder when it is missing; whether it asks for the English naming.
bool PrepareFolder(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  return std::filesystem::exists(folder / "english");
}

}  // namespace

TServerHost::TServerHost(std::filesystem::path programFolder, TServerHostOptions options)
    : programFolder_(std::move(programFolder)),
      tree_(PrepareFolder(programFolder_)),
      controller_(programFolder_, tree_) {
  MainThread::Attach();
  start_ = RunConfigurationStart(controller_);
  // The journal opens after the settings are loaded, so that clearing it at start takes effect.
  OpenLogs();
  WriteShellStartLines(*journal_, ORVELA_VERSION, controller_.Settings().TimeCorrectionMode,
                       SystemClock().Now());
  ReportStart();
  if (!start_.Completed()) return;  // a tree that did not load ends the start before registration
  Register(options);
  BuildServer(options);
}

TServerHost::~TServerHost() {
  StopServer();
  // Lines the engine's threads posted to the main thread reach the journal before it closes.
  MainThread::Pump();
  journal_.reset();
  TRegistry::Close();
  MainThread::Detach();
}

// Work logs first, so that a journal that cannot be opened can still be reported there.
void TServerHost::OpenLogs() {
  ProcessWorkLogs().SetEnabled(controller_.Settings().ChannelLog);
  const std::string workLogError = ProcessWorkLogs().OpenWorkLogs(programFolder_);
  if (!workLogError.empty()) std::cerr << "OrvelaOPC: " << workLogError << "\n";
  TJournalOptions journalOptions;
  journalOptions.clearAtStart = controller_.Settings().ClearJournalAtStart;
  // "Ошибка DM" and the like: kept whatever "Вести лог канала" says (the journal prints them too).
  journalOptions.workLog = [](const std::string& line) { ProcessWorkLogs().StartFailure(line); };
  journal_ = OpenJournalAtStart(programFolder_, journalOptions);
}

// Damaged or missing files are start-up failures in the work log and the journal; where the
// configuration came from instead is journalled once. The programs show them their own way.
void TServerHost::ReportStart() {
  for (const EConfigFile& problem : start_.Problems) {
    ProcessWorkLogs().StartFailure(problem.what());
    journal_->Journal(problem.what(), problem.File().filename().string());
  }
  for (const std::string& notice : start_.Notices) journal_->Journal(notice, "");
  if (!start_.Completed()) {
    ProcessWorkLogs().StartFailure(start_.FailureMessage);
    journal_->Journal(start_.FailureMessage, "");
  }
}

void TServerHost::Register(const TServerHostOptions& options) {
  registrationError_ = TRegistry::Open(programFolder_);
  if (registrationError_.empty()) {
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    registrationError_ =
        RegisterServerClasses(ec ? std::filesystem::path() : self, !options.startedByComServer, *journal_);
  }
  // The server goes on with whatever registration already exists.
  if (!registrationError_.empty()) journal_->Journal(kRegistrationFailed, registrationError_);
}

void TServerHost::BuildServer(const TServerHostOptions& options) {
  Clock& clock = options.clock != nullptr ? *options.clock : SystemClock();
  connections_ = std::make_unique<TConnections>(controller_.Connections());
  engine_ = std::make_unique<TReadingEngine>(tree_, logs_, clock, engineHost_, connections_.get());
  connections_->Attach(engine_->Engine());
  engine_->Engine().SetSettings(controller_.Settings());
  engine_->Engine().SetProgramFolder(programFolder_);
  SetPortMapFolder(programFolder_);
  engineHost_.StartFor(controller_.Connections(), controller_.Settings(), programFolder_);
  context_ = std::make_unique<TServerContext>(
      TServerContext{tree_, engine_->Engine(), logs_, clock, options.syncReadLimit});
  // Every COM call of the clients arrives on this thread: it is the main apartment.
  apartmentOpened_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  RegisterFactory(CLSID_OrvelaDA, MakeDaServerFactory(*context_));
  RegisterFactory(CLSID_OrvelaHDA, MakeHdaServerFactory(*context_));
}

void TServerHost::RegisterFactory(REFCLSID clsid, const TComPtr<IClassFactory>& factory) {
  DWORD cookie = 0;
  if (!factory ||
      FAILED(CoRegisterClassObject(clsid, factory.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie))) {
    journal_->Journal(kRegistrationFailed, GuidToString(clsid));
    return;
  }
  factories_.push_back(factory);
  cookies_.push_back(cookie);
}

void TServerHost::StopServer() {
  // No new objects, then none left serving: the apartment's objects are disconnected when it closes,
  // while the engine and the context they use still exist.
  for (DWORD cookie : cookies_) CoRevokeClassObject(cookie);
  cookies_.clear();
  factories_.clear();
  // Clients of the DA objects still alive are cut off while the apartment is still open.
  if (context_) DisconnectDaServers(*context_);
  if (apartmentOpened_) CoUninitialize();
  apartmentOpened_ = false;
  if (engine_) {
    // Objects a client never released still hold the engine: it stops now, its readers joined.
    TAsyncEngine& engine = engine_->Engine();
    while (engine.Users() > 0) engine.FinalAsync();
  }
  context_.reset();
  engine_.reset();
  connections_.reset();
  engineHost_.Stop();
}

}  // namespace orvela
