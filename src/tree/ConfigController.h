#pragma once
// The configuration controller: loads and saves the settings (program folder), the connection list and
// the device tree (both in the project folder), and carries out the operator's Save, Create a copy,
// Save as and Open for a folder already chosen.
//
// Every load reads into new objects and swaps them in only when the whole file was good, so a damaged
// file leaves the previous list or tree as they were (a short settings record gives the fields it holds,
// the rest zero). A file that did not load is not saved over until the caller forces it: what the program
// holds is then less than what the file holds. Every save replaces its file atomically and reports a
// failure.
//
// A stored project folder this machine cannot use (a Windows path, a folder that is gone, the program
// folder of the installation this one was copied from) is replaced by the program folder while the
// program runs, and told once; tParam.dat keeps the stored text until the operator picks another folder.
#include <array>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tree/ConfigFiles.h"
#include "tree/ConnectionList.h"
#include "tree/Settings.h"
#include "tree/TreeItem.h"

namespace orvela {

class TConfigController {
 public:
  // Settings start as TSettings::Defaults() with both folders pointing at the program folder.
  TConfigController(std::filesystem::path programFolder, TTree& tree);

  const std::filesystem::path& ProgramFolder() const { return programFolder_; }
  TSettings& Settings() { return settings_; }
  const TSettings& Settings() const { return settings_; }
  TConnectionList& Connections() { return connections_; }
  const TConnectionList& Connections() const { return connections_; }
  TTree& Tree() { return tree_; }
  // Devices (children of the root) as the tree was last loaded.
  size_t DeviceCount() const { return deviceCount_; }

  std::filesystem::path ProjectFolder() const;
  std::filesystem::path SettingsPath() const;
  std::filesystem::path ConnectionsPath() const;
  std::filesystem::path TreePath() const;

  // Each returns nothing on success, otherwise what went wrong.
  //
  // A missing tParam.dat gives TSettings::Defaults() and reports Missing; a short one gives the fields it
  // holds and zero for the rest, and reports Damaged; an unreadable one keeps the settings as they were.
  // Either way an empty or "Application" folder then means the program folder, a folder this machine
  // cannot use is replaced by it (see Notices), and the check-sum mode and read mark are set.
  std::optional<EConfigFile> LoadSettings();
  std::optional<EConfigFile> LoadConnections();
  // A missing or empty Config.kopc gives a tree of only the root. Paths are built; handles are kept as
  // loaded. When the project folder is not the program folder and holds no Config.kopc while the program
  // folder does, the root-only tree is not saved over anything until forced (see Notices).
  std::optional<EConfigFile> LoadTree();

  // Why saving the part is refused: its file did not load, and writing what the program holds would
  // replace it with less. Empty when saving is allowed. A later successful load of the part, Open, or a
  // forced save that succeeds lifts the refusal.
  const std::string& SaveRefusal(TConfigPart part) const { return refusals_[static_cast<size_t>(part)]; }
  bool AnySaveRefused() const;
  // What the operator is told once about where the configuration was read from.
  std::vector<std::string> Notices() const;

  // force: save even a part whose save is refused.
  std::optional<EConfigFile> SaveSettings(bool force = false);
  std::optional<EConfigFile> SaveConnections(bool force = false);
  std::optional<EConfigFile> SaveTree(bool force = false);

  // Settings, tree and connections; each is attempted whatever happened to the others.
  TConfigProblems Save(bool force = false);
  // Writes the tree and connections into the project folder and a copy of both into folder; the program
  // goes on with the project folder it had.
  TConfigProblems CreateCopy(const std::filesystem::path& folder, bool force = false);
  // Writes the tree and connections into folder, which becomes the project folder, then the settings
  // (which name it) into the program folder; when a write into folder fails the project folder stays as
  // it was and the settings are not written. A project folder never gets a tParam.dat: a folder holding
  // one is a program folder.
  TConfigProblems SaveAs(const std::filesystem::path& folder, bool force = false);
  // Reads Config.kopc and tConn.dat from folder, which becomes the project folder. Nothing changes unless
  // both were read (tConn.dat must exist; a missing Config.kopc gives a tree of only the root).
  TConfigProblems Open(const std::filesystem::path& folder);

 private:
  struct TFolders {
    std::string Project;
    std::string ConnectionFile;
  };
  TFolders Folders() const { return {settings_.ProjectFolder, settings_.ConnectionFile}; }
  void SetFolders(const TFolders& folders);
  // The project folder becomes folder; the connection file keeps its name and moves there.
  TFolders FoldersFor(const std::filesystem::path& folder) const;
  void ApplyFolderRules();
  // Replaces a project folder this machine cannot use by the program folder, with a notice.
  void ResolveProjectFolder();
  // The program folder by any name (no trailing separator, a link to it).
  bool IsProgramFolder(const std::string& folder) const;
  // Why the folder cannot be the project folder here; empty when it can.
  std::string UnusableFolderReason(const std::string& folder) const;
  // The text tParam.dat keeps for a folder setting now holding value, or nullopt when its field cannot
  // keep it unchanged: the text read while the setting is unchanged, "Application" for ownDefault.
  static std::optional<std::string> StoredFolderText(const std::string& value, const std::string& loaded,
                                                     const std::string& stored,
                                                     const std::string& ownDefault);

  std::optional<EConfigFile> Refused(TConfigPart part, const std::filesystem::path& file, bool force) const;
  void SetRefusal(TConfigPart part, const std::optional<EConfigFile>& problem);
  std::string& RefusalOf(TConfigPart part) { return refusals_[static_cast<size_t>(part)]; }
  // The tree is about to be read from a project folder without Config.kopc while the program folder has
  // one: the refusal that keeps a root-only tree from being saved as if it were the configuration.
  void GuardMissingTree();
  // Replaces the connection list; the settings records of the old one stay alive (see TStableConnSettings).
  void InstallConnections(TConnectionList list);

  // Reads and checks a tree file into a scratch tree; the bytes when they are a whole tree, an empty
  // vector for a missing or empty file.
  std::vector<uint8_t> ReadTreeFile(const std::filesystem::path& file) const;
  void InstallTree(const std::vector<uint8_t>& checked);

  std::filesystem::path programFolder_;
  std::string programFolderText_;
  TTree& tree_;
  TSettings settings_;
  TConnectionList connections_;
  size_t deviceCount_ = 0;
  std::array<std::string, kConfigPartCount> refusals_;
  // The folder settings as tParam.dat held them and as they were after the folder rules.
  TFolders storedFolders_;
  TFolders loadedFolders_;
  std::string folderNotice_;
  std::string treeNotice_;
  // Settings records of replaced lists: links may still point at them.
  std::vector<std::shared_ptr<TConnSettings>> retiredSettings_;
};

}  // namespace orvela
