#include "tree/ConfigController.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include "support/TempDir.h"
#include "tree/DemoConfig.h"
#include "tree/StartUp.h"
#include "tree/TreeFile.h"

namespace orvela {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::TTempDir;
using test::WriteBytes;
using Bytes = std::vector<uint8_t>;

// A program folder holding a saved demo configuration, and a controller that has not read it yet.
struct TProgramFolder {
  TTempDir dir;
  TTree tree;
  TConfigController controller{dir.Path(), tree};

  std::string Text() const { return dir.Path().string() + "/"; }

  // Writes the demo configuration into folder (default: the program folder) with a controller of its own.
  static void WriteDemo(const fs::path& folder, const std::function<void(TConfigController&)>& edit = {}) {
    TTree tree;
    TConfigController writer(folder, tree);
    BuildDemoConfiguration(writer);
    if (edit) edit(writer);
    ASSERT_TRUE(writer.Save().empty());
  }
  void WriteDemo() const { WriteDemo(dir.Path()); }
};

void Truncate(const fs::path& file, size_t size) {
  Bytes data = ReadBytes(file);
  ASSERT_GT(data.size(), size);
  data.resize(size);
  WriteBytes(file, data);
}

TEST(ConfigController, MissingSettingsGiveTheDefaults) {
  TProgramFolder p;
  const auto problem = p.controller.LoadSettings();
  ASSERT_TRUE(problem);
  EXPECT_EQ(problem->Fault(), TConfigFault::Missing);
  EXPECT_EQ(problem->File(), p.dir / "tParam.dat");
  const TSettings& s = p.controller.Settings();
  EXPECT_EQ(s.QueuePauseMs, 3000);
  EXPECT_EQ(s.TcpPort, 10100);
  EXPECT_EQ(s.ReaderThreads, TSettings::Defaults().ReaderThreads);
  EXPECT_EQ(s.ProjectFolder, p.Text());
  EXPECT_EQ(s.ConnectionFile, p.Text() + "tConn.dat");
  EXPECT_EQ(s.ChecksumMode, 1);
  EXPECT_EQ(s.ReadMark, 1);
}

TEST(ConfigController, ApplicationOrEmptyFolderMeansTheProgramFolder) {
  for (const char* folder : {"Application", ""}) {
    SCOPED_TRACE(folder);
    TProgramFolder p;
    TSettings stored;
    stored.ProjectFolder = folder;
    stored.ConnectionFile = folder;
    stored.QueuePauseMs = 777;
    const auto record = EncodeSettings(stored);
    WriteBytes(p.dir / "tParam.dat", Bytes(record.begin(), record.end()));
    EXPECT_FALSE(p.controller.LoadSettings());
    EXPECT_EQ(p.controller.Settings().QueuePauseMs, 777);
    EXPECT_EQ(p.controller.Settings().ProjectFolder, p.Text());
    EXPECT_EQ(p.controller.Settings().ConnectionFile, p.Text() + "tConn.dat");
    EXPECT_EQ(p.controller.Settings().ChecksumMode, 1);  // set on every read, whatever the file says
    EXPECT_EQ(p.controller.ConnectionsPath(), p.dir / "tConn.dat");
  }
}

TEST(ConfigController, SavedConfigurationLoadsAsItWas) {
  TProgramFolder p;
  TProgramFolder::WriteDemo(p.dir.Path(), [](TConfigController& c) {
    c.Settings().ReaderThreads = 6;
    c.Settings().ScheduleStart = 0.125;
    c.Connections().Rows[1].Enabled = false;
  });
  TTree original;
  TConfigController reference(p.dir.Path(), original);
  BuildDemoConfiguration(reference);

  const TStartResult start = RunConfigurationStart(p.controller);
  EXPECT_EQ(start.StatusLines(), (std::vector<std::string>{kStatusLoaded, "Приборов: 2"}));
  EXPECT_EQ(p.controller.Settings().ReaderThreads, 6);
  EXPECT_EQ(p.controller.Settings().ScheduleStart, 0.125);
  EXPECT_FALSE(p.controller.Connections().Rows[1].Enabled);
  reference.Connections().Rows[1].Enabled = false;
  EXPECT_EQ(p.controller.Connections(), reference.Connections());
  EXPECT_EQ(EncodeTree(*p.tree.Root()), ReadBytes(p.dir / "Config.kopc"));
  EXPECT_EQ(p.tree.Root()->Children.size(), original.Root()->Children.size());
  // Paths are rebuilt, handles kept.
  const TNTreeData* value = p.tree.Root()->Children[0]->Children[0]->Children[0];
  EXPECT_EQ(value->Path, "Устройства.Тарвел-1.Текущие данные.Значение");
  EXPECT_EQ(p.tree.ResolveHandle(value->Handle), value);
}

TEST(ConfigController, TreeAndConnectionsLiveInTheProjectFolder) {
  TProgramFolder p;
  TTempDir project;
  TProgramFolder::WriteDemo(p.dir.Path(), [&](TConfigController& c) {
    c.Settings().ProjectFolder = project.Path().string() + "/";
  });
  EXPECT_TRUE(fs::exists(p.dir / "tParam.dat"));
  EXPECT_FALSE(fs::exists(p.dir / "Config.kopc"));
  EXPECT_FALSE(fs::exists(p.dir / "tConn.dat"));
  EXPECT_TRUE(fs::exists(project / "Config.kopc"));

  const TStartResult start = RunConfigurationStart(p.controller);
  EXPECT_TRUE(start.Problems.empty());
  EXPECT_EQ(start.DeviceCount, 2u);
  EXPECT_EQ(p.controller.TreePath(), project / "Config.kopc");
}

TEST(ConfigController, DamagedFilesLeaveWhatWasLoaded) {
  TProgramFolder p;
  p.WriteDemo();
  RunConfigurationStart(p.controller);
  const TConnectionList connections = p.controller.Connections();
  const TNTreeData* root = p.tree.Root();
  const Bytes tree = EncodeTree(*p.tree.Root());

  Truncate(p.dir / "tConn.dat", 150);
  Truncate(p.dir / "Config.kopc", 700);
  WriteBytes(p.dir / "tParam.dat", Bytes(100, 0));
  const Bytes damagedTree = ReadBytes(p.dir / "Config.kopc");
  p.controller.Settings().QueuePauseMs = 1234;

  const struct {
    const char* file;
    std::function<std::optional<EConfigFile>()> load;
    size_t offset;
  } kLoads[] = {
      {"tParam.dat", [&] { return p.controller.LoadSettings(); }, 100},
      {"tConn.dat", [&] { return p.controller.LoadConnections(); }, EConfigFile::kNoOffset},
      {"Config.kopc", [&] { return p.controller.LoadTree(); }, EConfigFile::kNoOffset},
  };
  for (const auto& l : kLoads) {
    SCOPED_TRACE(l.file);
    const auto problem = l.load();
    ASSERT_TRUE(problem);
    EXPECT_EQ(problem->Fault(), TConfigFault::Damaged);
    EXPECT_EQ(problem->File(), p.dir / l.file);
    EXPECT_NE(problem->Offset(), EConfigFile::kNoOffset);
    if (l.offset != EConfigFile::kNoOffset) {
      EXPECT_EQ(problem->Offset(), l.offset);
    }
    EXPECT_NE(std::string(problem->what()).find(l.file), std::string::npos);
    EXPECT_NE(std::string(problem->what()).find("offset"), std::string::npos);
  }
  EXPECT_EQ(p.controller.Settings().QueuePauseMs, 1234);
  EXPECT_EQ(p.controller.Connections(), connections);
  EXPECT_EQ(p.tree.Root(), root);
  EXPECT_EQ(p.controller.DeviceCount(), 2u);
  EXPECT_EQ(EncodeTree(*p.tree.Root()), tree);
  EXPECT_EQ(ReadBytes(p.dir / "Config.kopc"), damagedTree);  // reading never writes
}

TEST(ConfigController, TreeThatFailedToLoadIsNeverSavedOverTheFile) {
  TProgramFolder p;
  p.WriteDemo();
  Truncate(p.dir / "Config.kopc", 300);
  const Bytes damaged = ReadBytes(p.dir / "Config.kopc");
  const TStartResult start = RunConfigurationStart(p.controller);
  EXPECT_FALSE(start.Completed());

  const TConfigProblems problems = p.controller.Save();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].Fault(), TConfigFault::WriteFailed);
  EXPECT_EQ(problems[0].File(), p.dir / "Config.kopc");
  EXPECT_EQ(ReadBytes(p.dir / "Config.kopc"), damaged);

  // Once a good tree is read again, saving works.
  TProgramFolder::WriteDemo(p.dir.Path());
  ASSERT_FALSE(p.controller.LoadTree());
  EXPECT_TRUE(p.controller.Save().empty());
}

TEST(ConfigController, FailedWritesAreReportedAndKeepTheOldFiles) {
  TProgramFolder p;
  p.WriteDemo();
  RunConfigurationStart(p.controller);
  p.controller.Settings().QueuePauseMs = 4321;
  p.controller.Connections().Rows.clear();
  std::map<std::string, Bytes> before;
  for (const char* name : {"tParam.dat", "tConn.dat", "Config.kopc"}) {
    before[name] = ReadBytes(p.dir / name);
    fs::create_directory(p.dir / (std::string(name) + ".tmp"));  // the temporary file cannot be made
  }
  const TConfigProblems problems = p.controller.Save();
  ASSERT_EQ(problems.size(), 3u);
  std::set<fs::path> files;
  for (const EConfigFile& problem : problems) {
    EXPECT_EQ(problem.Fault(), TConfigFault::WriteFailed);
    files.insert(problem.File());
  }
  EXPECT_EQ(files, (std::set<fs::path>{p.dir / "tParam.dat", p.dir / "tConn.dat", p.dir / "Config.kopc"}));
  for (const auto& [name, bytes] : before) EXPECT_EQ(ReadBytes(p.dir / name), bytes) << name;
}

TEST(ConfigController, SaveAsWritesTheThreeFilesAndMovesThere) {
  TProgramFolder p;
  p.WriteDemo();
  RunConfigurationStart(p.controller);
  TTempDir target;
  EXPECT_TRUE(p.controller.SaveAs(target.Path()).empty());
  for (const char* name : {"tParam.dat", "tConn.dat", "Config.kopc"})
    EXPECT_TRUE(fs::exists(target / name)) << name;
  EXPECT_EQ(p.controller.Settings().ProjectFolder, target.Path().string() + "/");
  EXPECT_EQ(p.controller.Settings().ConnectionFile, target.Path().string() + "/tConn.dat");
  EXPECT_EQ(ReadBytes(target / "Config.kopc"), ReadBytes(p.dir / "Config.kopc"));

  // A folder that cannot be written: the program stays where it was.
  const std::string working = p.controller.Settings().ProjectFolder;
  const TConfigProblems problems = p.controller.SaveAs(target / "no" / "such" / "folder");
  EXPECT_EQ(problems.size(), 3u);
  EXPECT_EQ(p.controller.Settings().ProjectFolder, working);
}

TEST(ConfigController, CreateCopyWritesBothFoldersAndStaysPut) {
  TProgramFolder p;
  p.WriteDemo();
  RunConfigurationStart(p.controller);
  p.controller.Connections().Rows.pop_back();
  const TSettings before = p.controller.Settings();
  TTempDir copy;
  EXPECT_TRUE(p.controller.CreateCopy(copy.Path()).empty());
  EXPECT_EQ(p.controller.Settings().ProjectFolder, before.ProjectFolder);
  EXPECT_EQ(p.controller.Settings().ConnectionFile, before.ConnectionFile);
  for (const char* name : {"tConn.dat", "Config.kopc"})
    EXPECT_EQ(ReadBytes(copy / name), ReadBytes(p.dir / name)) << name;
  EXPECT_EQ(DecodeConnectionList(ReadBytes(copy / "tConn.dat")).Rows.size(), 1u);
  EXPECT_FALSE(fs::exists(copy / "tParam.dat"));
}

TEST(ConfigController, OpenReadsTheFolderWholeOrNotAtAll) {
  TProgramFolder p;
  p.WriteDemo();
  RunConfigurationStart(p.controller);
  TTempDir other;
  TProgramFolder::WriteDemo(other.Path(), [](TConfigController& c) {
    c.Connections().Rows.pop_back();
    TTree& tree = c.Tree();
    tree.DetachChild(tree.Root(), tree.Root()->Children.back());
  });
  const TNTreeData* root = p.tree.Root();

  // Damaged tree, then missing connection file: nothing changes.
  TTempDir broken;
  fs::copy_file(other / "tConn.dat", broken / "tConn.dat");
  WriteBytes(broken / "Config.kopc", Bytes{0x02, 0x00, 0x07});
  TTempDir empty;
  for (const TTempDir* folder : {&broken, &empty}) {
    const TConfigProblems problems = p.controller.Open(folder->Path());
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].Fault(), folder == &broken ? TConfigFault::Damaged : TConfigFault::Missing);
    EXPECT_EQ(p.tree.Root(), root);
    EXPECT_EQ(p.controller.Connections().Rows.size(), 2u);
    EXPECT_EQ(p.controller.Settings().ProjectFolder, p.Text());
  }

  EXPECT_TRUE(p.controller.Open(other.Path()).empty());
  EXPECT_EQ(p.controller.Connections().Rows.size(), 1u);
  EXPECT_EQ(p.controller.DeviceCount(), 1u);
  EXPECT_EQ(p.tree.Root()->Children.size(), 1u);
  EXPECT_EQ(p.controller.Settings().ProjectFolder, other.Path().string() + "/");
  EXPECT_EQ(p.tree.Root()->Children[0]->Children[0]->Path, "Устройства.Тарвел-1.Текущие данные");
}

TEST(ConfigController, FolderTooLongForItsField) {
  TTempDir base;
  fs::path deep = base.Path() / std::string(100, 'd') / std::string(30, 'e');
  fs::create_directories(deep);
  TTree tree;
  TConfigController c(deep, tree);
  c.LoadSettings();
  ASSERT_GT(c.Settings().ProjectFolder.size(), TSettings::kFolderWidth);
  // The program folder has a name the field can hold.
  EXPECT_FALSE(c.SaveSettings());
  const auto record = ReadBytes(deep / "tParam.dat");
  EXPECT_EQ(DecodeSettings(record).ProjectFolder, "Application");
  TTree again;
  TConfigController reloaded(deep, again);
  EXPECT_FALSE(reloaded.LoadSettings());
  EXPECT_EQ(reloaded.Settings().ProjectFolder, c.Settings().ProjectFolder);

  // Any other folder that does not fit is not stored cut.
  c.Settings().ProjectFolder = deep.string() + "/elsewhere/";
  const auto problem = c.SaveSettings();
  ASSERT_TRUE(problem);
  EXPECT_EQ(problem->Fault(), TConfigFault::WriteFailed);
  EXPECT_EQ(ReadBytes(deep / "tParam.dat"), record);
}

TEST(StartUp, StatusTexts) {
  const struct {
    const char* name;
    std::function<void(const fs::path&)> spoil;
    std::vector<std::string> lines;
    bool completed;
  } kCases[] = {
      {"all loaded", [](const fs::path&) {}, {kStatusLoaded, "Приборов: 2"}, true},
      {"no settings", [](const fs::path& d) { fs::remove(d / "tParam.dat"); }, {kStatusSettingsFailed}, true},
      {"short settings",
       [](const fs::path& d) { Truncate(d / "tParam.dat", 395); },
       {kStatusSettingsFailed},
       true},
      {"no connections",
       [](const fs::path& d) { fs::remove(d / "tConn.dat"); },
       {kStatusConnectionsFailed},
       true},
      {"neither",
       [](const fs::path& d) {
         fs::remove(d / "tParam.dat");
         fs::remove(d / "tConn.dat");
       },
       {kStatusConnectionsFailed},
       true},
      {"no tree",
       [](const fs::path& d) { fs::remove(d / "Config.kopc"); },
       {kStatusLoaded, "Приборов: 0"},
       true},
      {"empty tree file",
       [](const fs::path& d) { WriteBytes(d / "Config.kopc", {}); },
       {kStatusLoaded, "Приборов: 0"},
       true},
      {"damaged tree", [](const fs::path& d) { Truncate(d / "Config.kopc", 10); }, {}, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TProgramFolder p;
    p.WriteDemo();
    c.spoil(p.dir.Path());
    const TStartResult result = RunConfigurationStart(p.controller);
    EXPECT_EQ(result.StatusLines(), c.lines);
    EXPECT_EQ(result.Completed(), c.completed);
    if (!c.completed) {
      EXPECT_EQ(result.FailureMessage, "Ошибка Main");
    }
    ASSERT_NE(p.tree.Root(), nullptr);
    EXPECT_EQ(p.tree.Root()->Name, "Устройства");
  }
}

}  // namespace
}  // namespace orvela
