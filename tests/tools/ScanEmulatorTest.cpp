// The built orvelactl scans a line served by an emulator of the maker's meters that was written apart
// from the program's framing, drivers and metersim.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/Peers.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "tree/ConfigFiles.h"
#include "tree/ConnectionList.h"

namespace orvela {
namespace {

constexpr const char* kEmulator = ORVELA_TEST_DATA "/tarvel_emulator.py";
constexpr const char* kOrvelactl = ORVELA_BINARY_DIR "/tools/orvelactl";

class ScanEmulator : public ::testing::Test {
 protected:
  void SetUp() override {
    ORVELA_REQUIRE_PEER("python3");
    ASSERT_EQ(::access(kOrvelactl, X_OK), 0) << kOrvelactl << " is not built (target orvelactl)";
    emulator = std::make_unique<test::TProcess>(
        std::vector<std::string>{test::FindPeer("python3"), kEmulator, "--port", "0", "--device",
                                 "tarvel2001:1:12345678", "--device", "tarvelf:2:87654321"});
    ASSERT_TRUE(emulator->Started()) << emulator->StartError();
    std::optional<std::string> listening = emulator->ReadLine(10'000);
    ASSERT_TRUE(listening && listening->starts_with("LISTENING ")) << listening.value_or("no output");
    port = listening->substr(std::string("LISTENING ").size());

    TConnectionList list;
    TConnRow row;
    row.Enabled = true;
    row.Columns = {"Эмулятор", "XModem", "", "", "127.0.0.1", port, "", "3"};
    row.Settings = TConnSettings::Defaults();
    list.Rows.push_back(row);
    WriteConfigFile(dir / kConnectionFileName, EncodeConnectionList(list));
  }

  test::TTempDir dir{"scan-emulator"};
  std::unique_ptr<test::TProcess> emulator;
  std::string port;
};

TEST_F(ScanEmulator, ListsBothMetersWithModelAndSerial) {
  // The link's own pauses make a scan of two meters take seconds; the limit only stops a hung exchange.
  const test::TProcessResult scan = test::RunProgram(
      {kOrvelactl, "scan", "--dir", dir.Path().string(), "--conn", "Эмулятор", "--json"}, "", 60'000);
  ASSERT_FALSE(scan.timedOut) << "scan did not finish: " << scan.out;
  ASSERT_EQ(scan.exitCode, 0) << scan.out << scan.err;
  const std::string& out = scan.out;
  auto expected = nlohmann::json::parse(R"([{"address": 1, "model": 2, "serial": "12345678"},
                                            {"address": 2, "model": 3, "serial": "87654321"}])");
  EXPECT_EQ(nlohmann::json::parse(out, nullptr, false), expected) << out;
}

}  // namespace
}  // namespace orvela
