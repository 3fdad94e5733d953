// orvelactl da browse and hda browse: one level of the address space as an OPC client browses it (the DA
// server's browse interface and item properties, the HDA server's browser), asked through the endpoint of
// a running server that serves the folder, else of the server objects hosted here.
#include <iostream>

#include "endpoint/EndpointListing.h"
#include "endpoint/EndpointRequest.h"
#include "opc_da/DaServerClass.h"
#include "opc_hda/HdaServerClass.h"
#include "orvelactl/Commands.h"
#include "orvelactl/EndpointLink.h"
#include "orvelactl/FolderClaim.h"
#include "orvelactl/ServerClient.h"

namespace orvela::ctl {
namespace {

using Listing = endpoint::Json;

constexpr std::chrono::milliseconds kConnectLimit{30'000};
constexpr std::chrono::milliseconds kAnswerLimit{60'000};

struct TBrowseOptions : TServerOptions {
  std::string path;
  bool properties = false;
};

enum class TSide { DA, HDA };

Listing Served(const std::filesystem::path& socket, TSide side, const TBrowseOptions& options) {
  TEndpointLink link(socket, kConnectLimit);
  Json request{{"op", side == TSide::DA ? "da.browse" : "hda.browse"}, {"path", options.path}};
  if (side == TSide::DA) request["props"] = options.properties;
  const auto limit = options.Timeout().count() > 0 ? options.Timeout() : kAnswerLimit;
  const TEndpointLink::TAnswer answer = link.Ask(request, limit);
  CheckReply(answer.reply, "browse");
  Listing listing = Listing::parse(answer.reply.dump());
  // What is left without the reply's own keys is the listing.
  listing.erase("id");
  listing.erase("ok");
  return listing;
}

Listing Hosted(TSide side, const TBrowseOptions& options) {
  THostedServer host(options.dir, options.Timeout());
  try {
    if (side == TSide::DA)
      return endpoint::DaListing(*host.Create<IOPCServer>(kDaProgId).Get(), options.path, options.properties);
    return endpoint::HdaListing(*host.Create<IOPCHDA_Server>(kHdaProgId).Get(), options.path);
  } catch (const endpoint::ERequest& e) {
    throw EClientError("browse: " + e.text + " (" + HexCode(e.hr) + ")");
  }
}

std::string PropertyText(const Listing& p) {
  const HRESULT hr = static_cast<HRESULT>(p.value("hr", uint32_t{0}));
  if (FAILED(hr)) return "error " + HexCode(hr);
  const Listing& v = p["v"];
  return v.is_string() ? v.get<std::string>() : v.dump();
}

void PrintText(const Listing& listing) {
  std::cout << listing.value("position", std::string()) << "\n";
  for (const Listing& b : listing["branches"])
    std::cout << "  branch  " << b.value("name", std::string()) << "  " << b.value("id", std::string())
              << "\n";
  for (const Listing& item : listing["items"]) {
    std::cout << "  item    " << item.value("name", std::string()) << "  " << item.value("id", std::string())
              << "\n";
    for (const Listing& p : item.value("props", Listing::array()))
      std::cout << "          " << p.value("pid", 0) << " " << p.value("desc", std::string()) << ": "
                << PropertyText(p) << "\n";
  }
  if (listing.value("truncated", false)) std::cout << "  (more entries than listed)\n";
}

int RunBrowse(TSide side, const TBrowseOptions& options) {
  const TFolderClaim claim(options.dir);
  const Listing listing = claim.Served() ? Served(claim.SocketPath(), side, options) : Hosted(side, options);
  if (options.json)
    std::cout << listing.dump(2, ' ', false, Listing::error_handler_t::replace) << "\n";
  else
    PrintText(listing);
  return kExitGood;
}

CLI::App* AddBrowse(CLI::App& parent, TSide side, const char* description, int& exitCode) {
  auto options = std::make_shared<TBrowseOptions>();
  CLI::App* browse = AddServerOptions(parent.add_subcommand("browse", description), *options);
  browse->add_option("path", options->path,
                     "The branch to list (a dotted tree path); the root when left out");
  browse->footer(
      "Exit code: 0 when listed, 2 when the branch is not there or the server could not be asked.");
  browse->callback(
      [options, side, &exitCode] { exitCode = RunClient([&] { return RunBrowse(side, *options); }); });
  if (side == TSide::DA)
    browse->add_flag(
        "--properties", options->properties,
        "Also each item's properties (data type, rights, units, description, ...; not the value, "
        "which `da read` gives)");
  return browse;
}

}  // namespace

void AddDaBrowseCommand(CLI::App& da, int& exitCode) {
  AddBrowse(da, TSide::DA, "Branches and items of a branch, as a DA client browses them", exitCode);
}

void AddHdaBrowseCommand(CLI::App& hda, int& exitCode) {
  AddBrowse(hda, TSide::HDA, "Branches and items of a branch, as the HDA browser lists them", exitCode);
}

}  // namespace orvela::ctl
