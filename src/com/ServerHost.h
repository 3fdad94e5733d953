#pragma once
// The server host: what OrvelaOPC's start does before a client can create a server object, in one
// object that both programs (OrvelaOPC and orvelactl) run the server in. It loads the program folder's
// configuration, opens the work logs and the journal, writes the class registration into the registry
// stand-in, builds the engine the server objects share and registers their class factories, so that a
// client in the same process creates them with CoCreateInstance of the ProgIDs. Destroying it revokes
// the factories, stops the engine and joins its threads, then closes the journal.
//
// The host attaches the main-thread dispatcher and opens the main apartment on the thread that makes it;
// that thread must destroy it, and must pump (MainThread::PumpUntil) while it waits for the devices.
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/AsyncReadRaw.h"
#include "engine/InboundHost.h"
#include "engine/ServerContext.h"
#include "journal/UDM1.h"
#include "platform/com/ComObject.h"
#include "tree/ConfigController.h"
#include "tree/StartUp.h"

namespace orvela {

// The journal line of a registration that could not be written.
constexpr const char* kRegistrationFailed =
    "Ошибка процедуры регистрации. Видимо работаем под ограничененой записью ";
// The journal line of a category registration that failed (a message box in the operator program).
constexpr const char* kCategoryRegistrationFailed = "Некорректная регистрация";

struct TServerHostOptions {
  // Source of the engine's waits and the server objects' time; the process clock when null.
  Clock* clock = nullptr;
  // Upper bound of a synchronous read's wait for the devices.
  std::chrono::milliseconds syncReadLimit{std::chrono::minutes(3)};
  // This program is the one COM starts for the classes (LocalServer32 names it). A tool that hosts the
  // server for itself leaves the server program's path where one is registered.
  bool startedByComServer = true;
};

class TServerHost {
 public:
  // Never throws for a bad configuration (see Serving); throws only when the folder cannot be made.
  explicit TServerHost(std::filesystem::path programFolder, TServerHostOptions options = {});
  ~TServerHost();
  TServerHost(const TServerHost&) = delete;
  TServerHost& operator=(const TServerHost&) = delete;

  const std::filesystem::path& ProgramFolder() const { return programFolder_; }
  // What the configuration start found: status texts, problems, notices, the failure that stopped it.
  const TStartResult& Start() const { return start_; }
  TConfigController& Controller() { return controller_; }
  TTree& Tree() { return tree_; }
  // The class factories are registered: the configuration loaded. A start that failed serves nothing.
  bool Serving() const { return !cookies_.empty(); }
  // Empty when the ProgID and CLSID keys were written; otherwise why not (the journal has the line too).
  const std::string& RegistrationError() const { return registrationError_; }
  // The context the server objects share (only while Serving).
  TServerContext& Context() { return *context_; }
  TAsyncEngine& Engine() { return engine_->Engine(); }

 private:
  class TConnections;
  void OpenLogs();
  void ReportStart();
  void Register(const TServerHostOptions& options);
  void BuildServer(const TServerHostOptions& options);
  void RegisterFactory(REFCLSID clsid, const TComPtr<IClassFactory>& factory);
  void StopServer();

  std::filesystem::path programFolder_;
  TTree tree_;
  TConfigController controller_;
  TStartResult start_;
  std::unique_ptr<TDM1> journal_;
  bool apartmentOpened_ = false;
  std::string registrationError_;

  // The server: declared in the order they are made; StopServer takes them down in reverse.
  TProcessEngineLogs logs_;
  TInboundHost engineHost_;  // the GPRS listener; stopped after the engine
  std::unique_ptr<TConnections> connections_;
  std::unique_ptr<TReadingEngine> engine_;
  std::unique_ptr<TServerContext> context_;
  std::vector<TComPtr<IClassFactory>> factories_;
  std::vector<DWORD> cookies_;
};

// Writes the registry keys that let clients find the DA and HDA servers by ProgID and CLSID, and their
// OPC categories; programPath is LocalServer32 (with keepLocalServer, only where none is registered yet).
// Returns an empty string or what failed.
std::string RegisterServerClasses(const std::filesystem::path& programPath, bool keepLocalServer,
                                  IJournalSink& journal);

}  // namespace orvela
