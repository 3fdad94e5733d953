// OrvelaOPC: the server and operator program. Headless for now: it starts the server host on the program
// folder (configuration, work logs, journal, class registration) and prints the status texts the status
// bar would show; with --serve it stays up as a service, offering the local endpoint, until told to stop,
// and with --ua it also keeps the OPC UA gateway running on that endpoint.
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>

#include "UaGateway.h"
#include "com/ServerHost.h"
#include "endpoint/Endpoint.h"
#include "platform/MainThread.h"
#include "platform/SupervisedProcess.h"
#include "tree/ConfigController.h"
#include "tree/WorkLog.h"

namespace {

// Damaged or missing files go to standard error; where the configuration came from instead is told once.
void PrintStart(const orvela::TStartResult& result) {
  for (const orvela::EConfigFile& problem : result.Problems) std::cerr << problem.what() << "\n";
  for (const std::string& notice : result.Notices) std::cout << notice << "\n";
  if (!result.Completed()) {
    std::cerr << result.FailureMessage << "\n";
    std::cout << result.FailureMessage << "\n";
    return;
  }
  for (const std::string& line : result.StatusLines()) std::cout << line << "\n";
}

// SIGTERM and SIGINT, blocked in every thread and read by the main loop. Made before any thread starts,
// so that they all inherit the mask.
class TStopSignals {
 public:
  TStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) == 0)
      fd_ = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd_ < 0) throw std::runtime_error("cannot watch for stop signals");
  }
  ~TStopSignals() { ::close(fd_); }
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;
  bool Arrived() const {
    pollfd stop{fd_, POLLIN, 0};
    return ::poll(&stop, 1, 0) > 0;
  }

 private:
  int fd_ = -1;
};

// The OPC UA gateway the service keeps running, when asked for.
struct TGatewaySetup {
  std::filesystem::path script;
  orvela::TUaAddress address;
  bool secureLoopback = false;
};

// Every start of the gateway is announced: tests and operators find its pid and address here.
void AnnounceStart(const orvela::TSupervisedProcess& gateway, const TGatewaySetup& setup) {
  std::cout << "UA gateway started (pid " << gateway.Pid() << "): " << setup.address.Url() << std::endl;
}

std::unique_ptr<orvela::TSupervisedProcess> StartGateway(const TGatewaySetup& setup,
                                                          const std::filesystem::path& programFolder) {
  auto gateway = std::make_unique<orvela::TSupervisedProcess>(
      orvela::UaGatewayCommand(setup.script, programFolder, setup.address, setup.secureLoopback), orvela::SystemClock(),
      [](const std::string& text) { std::cout << "UA gateway: " << text << std::endl; });
  if (gateway->Start()) AnnounceStart(*gateway, setup);
  return gateway;
}

// Headless service: the host, the endpoint and the gateway until SIGTERM or SIGINT, then down in order
// (gateway, endpoint and its server objects, then the host: engine stopped and joined, journal closed last).
int Serve(const std::filesystem::path& programFolder, const std::optional<TGatewaySetup>& ua) {
  const TStopSignals signals;
  std::filesystem::create_directories(programFolder);
  const orvela::TFolderLock lock(programFolder);
  orvela::TServerHost host(programFolder);
  PrintStart(host.Start());
  if (!host.Start().Completed() || !host.Serving()) return 1;
  orvela::TEndpoint endpoint(host.ProgramFolder(), host.Tree());
  std::cout << "serving on " << endpoint.SocketPath().string() << std::endl;
  std::unique_ptr<orvela::TSupervisedProcess> gateway;
  if (ua) gateway = StartGateway(*ua, programFolder);
  for (int round = 1; !signals.Arrived(); ++round) {
    orvela::MainThread::PumpFor(50);
    if (round % 20 == 0) endpoint.CheckTree();
    if (gateway) {
      const int starts = gateway->Starts();
      gateway->Poll();
      if (gateway->Starts() != starts) AnnounceStart(*gateway, *ua);
    }
  }
  if (gateway) gateway->Stop();
  endpoint.Stop();
  return 0;
}

// --ua [HOST:]PORT, --ua-gateway and --ua-secure-loopback, checked before anything starts; nullopt without --ua.
std::optional<TGatewaySetup> GatewaySetup(bool wanted, const std::string& address, const std::string& script,
                                          bool secureLoopback) {
  if (!wanted && secureLoopback) throw std::invalid_argument("--ua-secure-loopback: only with --ua");
  if (!wanted) return std::nullopt;
  const std::optional<orvela::TUaAddress> parsed = orvela::ParseUaAddress(address.empty() ? orvela::kDefaultUaAddress : address);
  if (!parsed) throw std::invalid_argument("--ua: expected [HOST:]PORT, got \"" + address + "\"");
  const std::filesystem::path found = orvela::FindUaGateway(script);
  if (found.empty())
    throw std::invalid_argument("--ua-gateway: the OPC UA gateway script (gateway.js) was not found" +
                                (script.empty() ? std::string() : ": " + script));
  return TGatewaySetup{found, *parsed, secureLoopback};
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"OrvelaOPC: metering data server"};
  std::string dir;
  app.add_option("--dir", dir, "Program folder (default: $XDG_DATA_HOME/OrvelaOPC)");
  bool serve = false;
  app.add_flag("--serve", serve, "Stay up headless, serving the local endpoint, until SIGTERM or SIGINT");
  std::string ua;
  CLI::Option* uaOption =
      app.add_option("--ua", ua, "Also run the OPC UA gateway on [HOST:]PORT (default 127.0.0.1:4840); implies --serve")
          ->expected(0, 1);
  std::string uaGateway;
  app.add_option("--ua-gateway", uaGateway, "The gateway script (default: $ORVELA_UA_GATEWAY, the installed one)");
  bool uaSecureLoopback = false;
  app.add_flag("--ua-secure-loopback", uaSecureLoopback,
               "On loopback too, only Basic256Sha256 with trusted client certificates (default there: SecurityPolicy None)");
  app.allow_extras();  // "Open" and the COM server switches are handled by the shell
  std::optional<TGatewaySetup> gateway;
  try {
    app.parse(argc, argv);
    gateway = GatewaySetup(uaOption->count() > 0, ua, uaGateway, uaSecureLoopback);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  } catch (const std::invalid_argument& e) {
    std::cerr << "OrvelaOPC: " << e.what() << "\n";
    return 2;
  }

  const std::filesystem::path programFolder =
      dir.empty() ? orvela::DefaultProgramFolder() : std::filesystem::path(dir);
  int exitCode = 0;
  try {
    if (serve || gateway) {
      exitCode = Serve(programFolder, gateway);
      orvela::MainThread::Stop();
      return exitCode;
    }
    orvela::TServerHost host(programFolder);
    PrintStart(host.Start());
    if (!host.Start().Completed()) exitCode = 1;
  } catch (const std::exception& e) {
    std::cerr << "OrvelaOPC: " << e.what() << "\n";
    orvela::ProcessWorkLogs().StartFailure(std::string("OrvelaOPC: ") + e.what());
    exitCode = 2;
  }
  orvela::MainThread::Stop();
  return exitCode;
}
