// Import of an older version's configuration files written by an independent writer.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "support/Peers.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "tree/ConfigFiles.h"
#include "tree/OldConfig.h"
#include "tree/TreeController.h"
#include "tree/UiBridge.h"

namespace orvela {
namespace {

using Json = nlohmann::json;

Json WriteOldFiles(const std::filesystem::path& folder, std::vector<std::string> options = {}) {
  std::vector<std::string> argv{test::FindPeer("python3"), ORVELA_TEST_DATA "/write_old_config.py"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(folder.string());
  test::TProcessResult writer = test::RunProgram(argv);
  EXPECT_EQ(writer.exitCode, 0) << writer.err;
  return Json::parse(writer.out);
}

const TNTreeData* ByPath(TTree& tree, const std::string& path) {
  return tree.ResolveIdentifier(path);
}

class OldConfigImport : public ::testing::Test {
 protected:
  test::TTempDir dir{"orvela-import"};
  TTree tree;
  THeadlessUi ui;
  TTreeController trees{tree, ui};
};

TEST_F(OldConfigImport, BuildsTheDevicesOfBothTrees) {
  ORVELA_REQUIRE_PEER("python3");
  for (bool marker : {true, false}) {
    SCOPED_TRACE(marker ? "with version marker" : "without");
    TTree fresh;
    TTreeController controller(fresh, ui);
    const Json expected = WriteOldFiles(
        dir.Path(), marker ? std::vector<std::string>{} : std::vector<std::string>{"--no-marker"});
    ASSERT_EQ(controller.ImportOldConfiguration(dir.Path(), false), 2u);
    size_t nodes = 1;
    for (const Json& want : expected) {
      const std::string path = want["path"];
      const TNTreeData* node = ByPath(fresh, path);
      ASSERT_NE(node, nullptr) << path;
      EXPECT_EQ(node->Address, want["address"]) << path;
      EXPECT_EQ(node->ModelCode, want["model"]) << path;
      EXPECT_EQ(node->Kind, want["kind"]) << path;
      EXPECT_EQ(node->Serial, want["serial"]) << path;
      EXPECT_EQ(node->DAVisible, want["da"]) << path;
      EXPECT_EQ(node->HDAVisible, want["hda"]) << path;
      EXPECT_EQ(node->ConnKey.ConnName, "Котельная") << path;
      if (want.contains("units")) {
        EXPECT_EQ(Attribute(*node, asUnits).Text, want["units"]) << path;
      }
      if (want.contains("description")) {
        EXPECT_EQ(Attribute(*node, asDescription).Text, want["description"]) << path;
      }
      ++nodes;
    }
    EXPECT_EQ(fresh.NodeCount(), nodes);  // nothing beyond what the writer expects
    EXPECT_EQ(fresh.Root()->Handle, kHandleGeneration);
  }
}

TEST_F(OldConfigImport, DuplicatesFollowTheReplaceChoice) {
  ORVELA_REQUIRE_PEER("python3");
  WriteOldFiles(dir.Path());
  ASSERT_EQ(trees.ImportOldConfiguration(dir.Path(), false), 2u);
  const TNTreeData* first = tree.Root()->Children[0];
  EXPECT_EQ(trees.ImportOldConfiguration(dir.Path(), false), 0u);
  EXPECT_EQ(ui.Shown().back(), "Прибор Контроллер уже существует и не будет добавлен");
  EXPECT_EQ(tree.Root()->Children[0], first);
  EXPECT_EQ(trees.ImportOldConfiguration(dir.Path(), true), 2u);
  EXPECT_EQ(tree.Root()->Children.size(), 2u);
  EXPECT_FALSE(tree.IsInTree(first));
}

TEST_F(OldConfigImport, DamagedFilesAreRefusedWithFileAndOffset) {
  ORVELA_REQUIRE_PEER("python3");
  const Json cut = WriteOldFiles(dir.Path(), {"--truncate"});
  try {
    trees.ImportOldConfiguration(dir.Path(), false);
    ADD_FAILURE() << "a cut record was imported";
  } catch (const EConfigFile& e) {
    EXPECT_EQ(e.Fault(), TConfigFault::Damaged);
    EXPECT_EQ(e.File(), dir.Path() / kOldRecordFile);
    EXPECT_EQ(e.Offset(), cut["error_offset"].get<size_t>());
    EXPECT_NE(e.Reason().find("cut short"), std::string::npos) << e.Reason();
  }
  EXPECT_TRUE(tree.Root()->Children.empty());

  // A count the file cannot hold.
  WriteOldFiles(dir.Path());
  {
    std::fstream f(dir.Path() / kOldRecordFile, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(6);
    const char huge[4] = {'\xFF', '\xFF', '\xFF', '\x0F'};
    f.write(huge, 4);
  }
  EXPECT_THROW(trees.ImportOldConfiguration(dir.Path(), false), EConfigFile);

  // A tree text that skips a level.
  WriteOldFiles(dir.Path());
  const size_t lineAt = std::filesystem::file_size(dir.Path() / kOldHdaTreeFile);
  {
    std::ofstream f(dir.Path() / kOldHdaTreeFile, std::ios::binary | std::ios::app);
    f << "\t\t\t\tдалеко\r\n";
  }
  try {
    trees.ImportOldConfiguration(dir.Path(), false);
    ADD_FAILURE() << "a tree text that skips levels was imported";
  } catch (const EConfigFile& e) {
    EXPECT_EQ(e.File(), dir.Path() / kOldHdaTreeFile);
    EXPECT_EQ(e.Offset(), lineAt);
  }

  // One of the three missing.
  WriteOldFiles(dir.Path());
  std::filesystem::remove(dir.Path() / kOldDaTreeFile);
  try {
    trees.ImportOldConfiguration(dir.Path(), false);
    ADD_FAILURE() << "imported without the DA tree";
  } catch (const EConfigFile& e) {
    EXPECT_EQ(e.Fault(), TConfigFault::Missing);
  }
  EXPECT_TRUE(tree.Root()->Children.empty());
}

}  // namespace
}  // namespace orvela
