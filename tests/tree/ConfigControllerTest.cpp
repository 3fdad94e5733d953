#include "tree/ConfigController.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include "drivers/Tarvel2001Nodes.h"
#include "platform/FileTestSupport.h"
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
    BuildDemoConfiguration(writer, DescribeTarvel2001TreeNode);
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
  BuildDemoConfiguration(reference, DescribeTarvel2001TreeNode);

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
  EXPECT_EQ(value->Path, "Устройства.Тарвел-1.Пользовательские данные.Текущие данные");
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
  // A short record gives what it holds (here zeros), never defaults or what was there before.
  EXPECT_EQ(p.controller.Settings().QueuePauseMs, 0);
  EXPECT_EQ(p.controller.Connections(), connections);
  EXPECT_EQ(p.tree.Root(), root);
  EXPECT_EQ(p.controller.DeviceCount(), 2u);
  EXPECT_EQ(EncodeTree(*p.tree.Root()), tree);
  EXPECT_EQ(ReadBytes(p.dir / "Config.kopc"), damagedTree);  // reading never writes
}

// Every save command refuses the file that failed to load, with the reason, and writes the others; forced,
// it writes it, and the refusal is lifted.
TEST(ConfigController, EachFileThatFailedToLoadIsNotSavedOverUnlessForced) {
  const struct {
    const char* file;
    TConfigPart part;
    size_t keep;  // bytes the damaged file keeps
  } kCases[] = {
      {"tParam.dat", TConfigPart::Settings, 395},
      {"tConn.dat", TConfigPart::Connections, 150},
      {"Config.kopc", TConfigPart::Tree, 300},
  };
  using TCommand = std::function<TConfigProblems(TConfigController&, const fs::path&, bool)>;
  const std::pair<const char*, TCommand> kCommands[] = {
      {"Save", [](TConfigController& c, const fs::path&, bool force) { return c.Save(force); }},
      {"CreateCopy",
       [](TConfigController& c, const fs::path& to, bool force) { return c.CreateCopy(to, force); }},
      {"SaveAs", [](TConfigController& c, const fs::path& to, bool force) { return c.SaveAs(to, force); }},
  };
  for (const auto& c : kCases) {
    for (const auto& [commandName, command] : kCommands) {
      SCOPED_TRACE(std::string(c.file) + " " + commandName);
      // A copy does not take the settings along.
      if (c.part == TConfigPart::Settings && std::string_view(commandName) == "CreateCopy") continue;
      TProgramFolder p;
      p.WriteDemo();
      Truncate(p.dir / c.file, c.keep);
      const Bytes damaged = ReadBytes(p.dir / c.file);
      RunConfigurationStart(p.controller);
      EXPECT_NE(p.controller.SaveRefusal(c.part).find(c.file), std::string::npos);
      TTempDir elsewhere;

      const TConfigProblems problems = command(p.controller, elsewhere.Path(), false);
      ASSERT_FALSE(problems.empty());
      for (const EConfigFile& problem : problems) {
        EXPECT_EQ(problem.Fault(), TConfigFault::SaveRefused) << problem.what();
        EXPECT_EQ(problem.File().filename(), c.file);
        EXPECT_NE(std::string(problem.what()).find("offset"), std::string::npos) << problem.what();
      }
      EXPECT_EQ(ReadBytes(p.dir / c.file), damaged);
      EXPECT_FALSE(fs::exists(elsewhere / c.file));

      EXPECT_TRUE(command(p.controller, elsewhere.Path(), true).empty());
      EXPECT_TRUE(p.controller.SaveRefusal(c.part).empty());
      EXPECT_FALSE(p.controller.AnySaveRefused());
    }
  }
}

TEST(ConfigController, AGoodLoadLiftsTheRefusal) {
  TProgramFolder p;
  p.WriteDemo();
  const Bytes good = ReadBytes(p.dir / "Config.kopc");
  Truncate(p.dir / "Config.kopc", 300);
  EXPECT_FALSE(RunConfigurationStart(p.controller).Completed());
  EXPECT_TRUE(p.controller.AnySaveRefused());
  WriteBytes(p.dir / "Config.kopc", good);
  ASSERT_FALSE(p.controller.LoadTree());
  EXPECT_FALSE(p.controller.AnySaveRefused());
  EXPECT_TRUE(p.controller.Save().empty());
}

TEST(ConfigController, FailedWritesAreReportedAndKeepTheOldFiles) {
  TProgramFolder p;
  p.WriteDemo();
  RunConfigurationStart(p.controller);
  p.controller.Settings().QueuePauseMs = 4321;
  p.controller.Connections().Rows.clear();
  std::map<std::string, Bytes> before;
  for (const char* name : {"tParam.dat", "tConn.dat", "Config.kopc"}) before[name] = ReadBytes(p.dir / name);
  TConfigProblems problems;
  {
    test_files::TFileSizeLimit full(1);  // as on a full disk
    problems = p.controller.Save();
  }
  ASSERT_EQ(problems.size(), 3u);
  std::set<fs::path> files;
  for (const EConfigFile& problem : problems) {
    EXPECT_EQ(problem.Fault(), TConfigFault::WriteFailed);
    files.insert(problem.File());
  }
  EXPECT_EQ(files, (std::set<fs::path>{p.dir / "tParam.dat", p.dir / "tConn.dat", p.dir / "Config.kopc"}));
  for (const auto& [name, bytes] : before) EXPECT_EQ(ReadBytes(p.dir / name), bytes) << name;
}

TEST(ConfigController, SaveAsWritesTheConfigurationThereAndMovesThere) {
  TProgramFolder p;
  p.WriteDemo();
  RunConfigurationStart(p.controller);
  TTempDir target;
  EXPECT_TRUE(p.controller.SaveAs(target.Path()).empty());
  for (const char* name : {"tConn.dat", "Config.kopc"}) EXPECT_TRUE(fs::exists(target / name)) << name;
  // Settings stay in the program folder, naming the new project folder; a project folder with a
  // tParam.dat would look like another installation.
  EXPECT_FALSE(fs::exists(target / "tParam.dat"));
  EXPECT_EQ(DecodeSettings(ReadBytes(p.dir / "tParam.dat")).ProjectFolder, target.Path().string() + "/");
  EXPECT_EQ(p.controller.Settings().ProjectFolder, target.Path().string() + "/");
  EXPECT_EQ(p.controller.Settings().ConnectionFile, target.Path().string() + "/tConn.dat");
  EXPECT_EQ(ReadBytes(target / "Config.kopc"), ReadBytes(p.dir / "Config.kopc"));

  TTree again;
  TConfigController next(p.dir.Path(), again);
  EXPECT_TRUE(RunConfigurationStart(next).Notices.empty());
  EXPECT_EQ(next.TreePath(), target / "Config.kopc");

  // A folder that cannot be written: the program stays where it was, and so do the settings.
  const std::string working = p.controller.Settings().ProjectFolder;
  const Bytes settings = ReadBytes(p.dir / "tParam.dat");
  const TConfigProblems problems = p.controller.SaveAs(target / "no" / "such" / "folder");
  EXPECT_EQ(problems.size(), 2u);
  EXPECT_EQ(p.controller.Settings().ProjectFolder, working);
  EXPECT_EQ(ReadBytes(p.dir / "tParam.dat"), settings);
}

// Sets tParam.dat's project folder text, the rest of the record as it was.
void StoreProjectFolder(const fs::path& programFolder, const std::string& text) {
  TSettings s = DecodeSettings(ReadBytes(programFolder / "tParam.dat"));
  s.ProjectFolder = text;
  const auto record = EncodeSettings(s);
  WriteBytes(programFolder / "tParam.dat", Bytes(record.begin(), record.end()));
}

// A stored project folder this machine cannot use: the program folder stands in, once told, and the
// stored text stays in tParam.dat until another folder is chosen.
TEST(ConfigController, ProjectFolderThisMachineCannotUse) {
  const struct {
    const char* name;
    std::function<std::string(const fs::path& other)> stored;  // prepares other, returns the text
    const char* says;
  } kCases[] = {
      {"Windows path", [](const fs::path&) { return std::string("C:\\Program Files\\Orvela\\"); },
       "is not a folder of this machine"},
      {"folder that is gone", [](const fs::path& other) { return (other / "gone").string() + "/"; },
       "does not exist"},
      {"program folder this one was copied from",
       [](const fs::path& other) {
         TProgramFolder::WriteDemo(other);
         return other.string() + "/";
       },
       "is the program folder of another installation"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    TProgramFolder p;
    TTempDir other;
    p.WriteDemo();
    const std::string stored = c.stored(other.Path());
    StoreProjectFolder(p.dir.Path(), stored);
    const Bytes settings = ReadBytes(p.dir / "tParam.dat");
    const auto otherFiles = [&] {
      std::map<std::string, Bytes> files;
      for (const auto& entry : fs::directory_iterator(other.Path()))
        files[entry.path().filename()] = ReadBytes(entry.path());
      return files;
    };
    const auto otherBefore = otherFiles();

    const TStartResult start = RunConfigurationStart(p.controller);
    EXPECT_TRUE(start.Problems.empty());
    EXPECT_EQ(start.DeviceCount, 2u);
    ASSERT_EQ(start.Notices.size(), 1u);
    EXPECT_NE(start.Notices[0].find(stored), std::string::npos) << start.Notices[0];
    EXPECT_NE(start.Notices[0].find(c.says), std::string::npos) << start.Notices[0];
    EXPECT_EQ(p.controller.TreePath(), p.dir / "Config.kopc");
    EXPECT_EQ(p.controller.ConnectionsPath(), p.dir / "tConn.dat");

    p.controller.Connections().Rows.pop_back();
    EXPECT_TRUE(p.controller.Save().empty());
    EXPECT_EQ(ReadBytes(p.dir / "tParam.dat"), settings);
    EXPECT_EQ(DecodeConnectionList(ReadBytes(p.dir / "tConn.dat")).Rows.size(), 1u);
    EXPECT_EQ(otherFiles(), otherBefore);
  }
}

// Chosen folders are stored as chosen; the program folder under the name that survives a copy.
TEST(ConfigController, FolderChosenAgainIsStoredAsChosen) {
  TProgramFolder p;
  TTempDir other;
  TProgramFolder::WriteDemo(other.Path());
  fs::remove(other / "tParam.dat");
  p.WriteDemo();
  StoreProjectFolder(p.dir.Path(), other.Path().string() + "/");
  const TStartResult start = RunConfigurationStart(p.controller);
  EXPECT_TRUE(start.Notices.empty());
  EXPECT_EQ(p.controller.TreePath(), other / "Config.kopc");
  ASSERT_TRUE(p.controller.Open(p.dir.Path()).empty());
  ASSERT_TRUE(p.controller.Save().empty());
  EXPECT_EQ(DecodeSettings(ReadBytes(p.dir / "tParam.dat")).ProjectFolder, "Application");
  ASSERT_TRUE(p.controller.Open(other.Path()).empty());
  ASSERT_TRUE(p.controller.Save().empty());
  EXPECT_EQ(DecodeSettings(ReadBytes(p.dir / "tParam.dat")).ProjectFolder, other.Path().string() + "/");
}

TEST(ConfigController, RootOnlyTreeIsNotSavedWhereTheProgramFolderHoldsTheTree) {
  TProgramFolder p;
  TTempDir project;
  p.WriteDemo();
  fs::copy_file(p.dir / "tConn.dat", project / "tConn.dat");
  StoreProjectFolder(p.dir.Path(), project.Path().string() + "/");
  const TStartResult start = RunConfigurationStart(p.controller);
  EXPECT_TRUE(start.Completed());
  EXPECT_EQ(start.DeviceCount, 0u);
  ASSERT_EQ(start.Notices.size(), 1u);
  EXPECT_NE(start.Notices[0].find("holds no Config.kopc"), std::string::npos) << start.Notices[0];

  const TConfigProblems problems = p.controller.Save();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].Fault(), TConfigFault::SaveRefused);
  EXPECT_FALSE(fs::exists(project / "Config.kopc"));
  EXPECT_TRUE(p.controller.SaveTree(true) == std::nullopt);
  EXPECT_TRUE(fs::exists(project / "Config.kopc"));
}

// Links keep a pointer to their connection's settings record for the life of the process: growing the
// list, reloading it or opening another folder must not move or free it (ASan watches the reads).
TEST(ConfigController, ConnectionSettingsRecordsStayWhereLinksPointAtThem) {
  TProgramFolder p;
  TTempDir other;
  p.WriteDemo();
  TProgramFolder::WriteDemo(other.Path());
  fs::remove(other / "tParam.dat");
  RunConfigurationStart(p.controller);
  TConnSettings* linked = p.controller.Connections().Rows[0].Settings.get();
  const TConnSettings copy = *linked;

  for (int i = 0; i < 100; ++i) p.controller.Connections().Rows.push_back(p.controller.Connections().Rows[1]);
  EXPECT_EQ(p.controller.Connections().Rows[0].Settings.get(), linked);
  // A copy of the list is the window's to edit: it holds records of its own.
  TConnectionList edited = p.controller.Connections();
  edited.Rows[0].Settings->BaudRate = copy.BaudRate + 1;
  EXPECT_EQ(*linked, copy);
  ASSERT_FALSE(p.controller.LoadConnections());
  ASSERT_TRUE(p.controller.Open(other.Path()).empty());
  EXPECT_EQ(*linked, copy);
  linked->EchoTested = 1;  // a link still writes to it
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
  EXPECT_EQ(p.tree.Root()->Children[0]->Children[0]->Path, "Устройства.Тарвел-1.Пользовательские данные");
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
