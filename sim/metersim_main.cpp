// metersim: serves simulated meters on one line until SIGINT or SIGTERM.
//   metersim --listen 127.0.0.1:4001 --device tarvel2001:1:12345678 --device tarvelf:2:87654321
//   metersim --udp 127.0.0.1:4002 --udp-reply-port-shift --device tarvel2001:1:12345678
//   metersim --modem --phone 5551234=line --phone 5550000=busy --device tarvel2001:1:12345678
//   metersim --modem --gprs 127.0.0.1:10100 --field-modem 9161234567,kind=2 --device tarvel2001:1:12345678
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <iostream>

#include "metersim/DeviceFactory.h"
#include "metersim/FieldModem.h"
#include "metersim/HayesModem.h"
#include "metersim/Line.h"
#include "platform/Clock.h"

using namespace orvela;
using namespace orvela::sim;

namespace {

bool SplitHostPort(const std::string& text, std::string& host, uint16_t& port) {
  auto colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  host = text.substr(0, colon);
  try {
    size_t used = 0;
    int value = std::stoi(text.substr(colon + 1), &used);
    if (used != text.size() - colon - 1 || value < 0 || value > 65535) return false;
    port = static_cast<uint16_t>(value);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

// "[ADDRESS:]NAME[=VALUE]": faults of one device, or of the line without an address.
bool ApplyFault(TLine& line, const std::string& text, std::string& error) {
  auto colon = text.find(':');
  auto eq = text.find('=');
  if (colon != std::string::npos && (eq == std::string::npos || colon < eq)) {
    int address = 0;
    try {
      address = std::stoi(text.substr(0, colon));
    } catch (const std::exception&) {
      address = -1;
    }
    TSimDevice* device =
        address >= 1 && address <= 255 ? line.FindDevice(static_cast<uint8_t>(address)) : nullptr;
    if (!device) return error = "fault \"" + text + "\": no device at that address", false;
    bool ok = true;
    device->Faults().Update([&](TFaults& f) { ok = ApplyFaultSpec(f, text.substr(colon + 1), error); });
    return ok;
  }
  bool ok = true;
  line.Faults().Update([&](TFaults& f) { ok = ApplyFaultSpec(f, text, error); });
  return ok;
}

// Field GPRS modems in front of this line's meters, connecting to the listener at gprs.
std::unique_ptr<TFieldModems> StartFieldModems(TLine& line, const std::string& gprs,
                                               const std::vector<std::string>& specs, std::string& error) {
  TFieldModemOptions options;
  if (!SplitHostPort(gprs, options.serverHost, options.serverPort) || options.serverPort == 0)
    return error = "bad --gprs \"" + gprs + "\" (host:port)", nullptr;
  options.meterHost = "127.0.0.1";
  options.meterPort = line.Port();
  auto modems = std::make_unique<TFieldModems>(options);
  for (const auto& text : specs) {
    std::vector<TFieldModemSpec> parsed;
    if (!ParseFieldModemSpec(text, parsed, error)) return nullptr;
    for (const TFieldModemSpec& spec : parsed) modems->Add(spec);
  }
  modems->SetEventSink(
      [](const std::string& event) { std::cout << "metersim: field modem " << event << std::endl; });
  modems->Start();
  return modems;
}

// The modem's phone book, "line" standing for this line's TCP listener; every field modem's number rings
// that modem. Prints the modem's events.
std::unique_ptr<THayesModem> StartModem(TLine& line, const std::vector<std::string>& phones, bool silent,
                                        TFieldModems* fieldModems, const std::vector<std::string>& fieldSpecs,
                                        std::string& error) {
  TModemOptions options;
  options.silent = silent;
  auto modem = std::make_unique<THayesModem>(options);
  if (fieldModems != nullptr) {
    for (const auto& text : fieldSpecs) {
      std::vector<TFieldModemSpec> parsed;
      ParseFieldModemSpec(text, parsed, error);
      for (const TFieldModemSpec& spec : parsed) modem->AddNumber(spec.number, {TPhoneKind::Wake, {}, 0, -1});
    }
    modem->SetRinger([fieldModems](const std::string& number) { fieldModems->Ring(number); });
  }
  for (const auto& text : phones) {
    auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
      return error = "bad --phone \"" + text + "\" (NUMBER=ENTRY)", nullptr;
    std::string entryText = text.substr(eq + 1);
    if (entryText == "line" || entryText.starts_with("line,")) {
      if (line.Port() == 0) return error = "--phone " + text + ": the line does not listen on TCP", nullptr;
      entryText.replace(0, 4, line.TcpAddress());
    }
    TPhoneEntry entry;
    if (!ParsePhoneEntry(entryText, entry, error)) return nullptr;
    modem->AddNumber(text.substr(0, eq), entry);
  }
  modem->SetEventSink(
      [](const std::string& event) { std::cout << "metersim: modem " << event << std::endl; });
  std::cout << "metersim: modem pseudo-terminal " << modem->OpenPty() << std::endl;
  return modem;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Simulated meters on one line (TCP, pseudo-terminal and/or UDP)"};
  std::string listen, udp;
  bool pty = false;
  std::vector<std::string> devices, faults;
  std::string start;
  TLineOptions options;
  app.add_option("--listen", listen, "TCP address to listen on, host:port (port 0: any free port)");
  app.add_flag("--pty", pty, "also serve the line on a pseudo-terminal");
  app.add_option("--udp", udp, "also serve the line on a UDP address, host:port (port 0: any free port)");
  app.add_flag("--udp-reply-port-shift", options.udpReplyPortShift,
               "UDP answers leave from another port of the same address, as some converters send them");
  app.add_option("--device", devices, "family:address:serial; families: " + DeviceFamilies())->required();
  app.add_option("--fault", faults, "[address:]name[=value]; names: " + FaultNames());
  app.add_option("--prompt-ms", options.promptIntervalMs, "interval of the idle XModem prompt")
      ->check(CLI::Range(1, 60'000));
  app.add_option("--first-prompt-ms", options.firstPromptDelayMs, "quiet after a peer connects")
      ->check(CLI::Range(0, 60'000));
  bool modem = false, modemSilent = false;
  std::vector<std::string> phones;
  app.add_flag("--modem", modem, "also serve an emulated Hayes modem on a pseudo-terminal");
  app.add_option(
      "--phone", phones,
      "the modem's phone book: NUMBER=line (this line), NUMBER=HOST:PORT[,drop=N], or NUMBER=busy, "
      "noanswer, nocarrier, nodialtone");
  app.add_flag("--modem-silent", modemSilent, "the modem answers nothing");
  std::string gprs;
  std::vector<std::string> fieldSpecs;
  app.add_option("--gprs", gprs, "the server's GPRS listener the field modems connect to, host:port");
  app.add_option("--field-modem", fieldSpecs,
                 "a field GPRS modem in front of this line: NUMBER (ten digits)[,kind=2][,silent|malformed|"
                 "partial|wrong=NUMBER][,drop=N][,twice][,wired][,timer=MS][,count=N]");
  app.add_option("--time", start, "the devices' clock starts at \"YYYY-MM-DD hh:mm[:ss]\" and runs on");
  CLI11_PARSE(app, argc, argv);
  if (!fieldSpecs.empty() && gprs.empty()) {
    std::cerr << "metersim: --field-modem needs --gprs\n";
    return 2;
  }
  // Field modems reach the meters through the line's TCP port.
  if (listen.empty() && (!fieldSpecs.empty() || (!pty && udp.empty())))
    listen = modem || !fieldSpecs.empty() ? "127.0.0.1:0" : "127.0.0.1:4001";

  std::unique_ptr<ScaledClock> calendar;
  if (!start.empty()) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    int fields = std::sscanf(start.c_str(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s);
    if (fields < 5 || !IsValidDate(y, mo, d) || h > 23 || mi > 59 || s > 59 || h < 0 || mi < 0 || s < 0) {
      std::cerr << "metersim: bad --time \"" << start << "\"\n";
      return 2;
    }
    calendar = std::make_unique<ScaledClock>(1.0, EncodeDateTime(y, mo, d, h, mi, s));
    options.calendar = calendar.get();
  }

  // Signals are taken by sigwait below, so every thread started from here on keeps them blocked.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    TLine line(options);
    for (const auto& text : devices) {
      TDeviceSpec spec;
      std::string error;
      if (!ParseDeviceSpec(text, spec, error)) {
        std::cerr << "metersim: " << error << "\n";
        return 2;
      }
      line.AddDevice(MakeDevice(spec.family, spec.address, spec.serial));
    }
    for (const auto& text : faults) {
      std::string error;
      if (!ApplyFault(line, text, error)) {
        std::cerr << "metersim: " << error << "\n";
        return 2;
      }
    }
    if (!listen.empty()) {
      std::string host;
      uint16_t port = 0;
      if (!SplitHostPort(listen, host, port)) {
        std::cerr << "metersim: bad --listen \"" << listen << "\" (host:port)\n";
        return 2;
      }
      line.ListenTcp(host, port);
      std::cout << "metersim: listening on " << line.TcpAddress() << std::endl;
    }
    if (!udp.empty()) {
      std::string host;
      uint16_t port = 0;
      if (!SplitHostPort(udp, host, port)) {
        std::cerr << "metersim: bad --udp \"" << udp << "\" (host:port)\n";
        return 2;
      }
      line.ListenUdp(host, port);
      std::cout << "metersim: UDP on " << line.UdpAddress();
      if (line.UdpReplyPort() != line.UdpPort()) std::cout << ", answering from port " << line.UdpReplyPort();
      std::cout << std::endl;
    }
    if (pty) std::cout << "metersim: pseudo-terminal " << line.OpenPty() << std::endl;
    std::unique_ptr<TFieldModems> fieldModems;
    if (!fieldSpecs.empty()) {
      std::string error;
      fieldModems = StartFieldModems(line, gprs, fieldSpecs, error);
      if (!fieldModems) {
        std::cerr << "metersim: " << error << "\n";
        return 2;
      }
    }
    std::unique_ptr<THayesModem> hayes;
    if (modem) {
      std::string error;
      hayes = StartModem(line, phones, modemSilent, fieldModems.get(), fieldSpecs, error);
      if (!hayes) {
        std::cerr << "metersim: " << error << "\n";
        return 2;
      }
    }
    for (const auto& text : devices) std::cout << "metersim: device " << text << std::endl;
    int signal = 0;
    sigwait(&stopSignals, &signal);
    if (hayes) hayes->Stop();
    if (fieldModems) fieldModems->Stop();
    line.Stop();
    std::cout << "metersim: stopped" << std::endl;
  } catch (const ESimError& e) {
    std::cerr << "metersim: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
