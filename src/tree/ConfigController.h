#pragma once
// The configuration controller: loads and saves the settings (program folder), the connection list and
// the device tree (both in the project folder), and carries out the operator's Save, Create a copy,
// Save as and Open for a folder already chosen.
//
// Every load reads into new objects and swaps them in only when the whole file was good, so a damaged
// file leaves the previous settings, list or tree as they were and a later Save cannot write a partial
// configuration over a good file. Every save replaces its file atomically and reports a failure.
#include <filesystem>
#include <optional>
#include <string>

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
  // A missing tParam.dat gives TSettings::Defaults() and reports Missing; a damaged one keeps the
  // settings as they were. Either way an empty or "Application" folder then means the program folder,
  // and the check-sum mode and read mark are set.
  std::optional<EConfigFile> LoadSettings();
  std::optional<EConfigFile> SaveSettings();
  std::optional<EConfigFile> LoadConnections();
  std::optional<EConfigFile> SaveConnections();
  // A missing or empty Config.kopc gives a tree of only the root. Paths are built; handles are kept as
  // loaded.
  std::optional<EConfigFile> LoadTree();
  // Refused while the last LoadTree failed: the tree in memory is then not what the file held, and
  // writing it would replace the damaged file (the operator's only copy) with less. A later successful
  // LoadTree or Open lifts the refusal.
  std::optional<EConfigFile> SaveTree();

  // Settings, tree and connections; each is attempted whatever happened to the others.
  TConfigProblems Save();
  // Writes the tree and connections into the project folder and a copy of both into folder; the program
  // goes on with the project folder it had.
  TConfigProblems CreateCopy(const std::filesystem::path& folder);
  // Writes the three files into folder, which becomes the project folder; when a write fails the project
  // folder stays as it was.
  TConfigProblems SaveAs(const std::filesystem::path& folder);
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
  std::optional<EConfigFile> WriteSettings(const std::filesystem::path& file);
  // The folder text tParam.dat can keep, or nullopt when it cannot keep it unchanged.
  std::optional<std::string> StorableFolder(const std::string& folder,
                                            const std::string& programDefault) const;

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
  bool treeLoadFailed_ = false;
};

}  // namespace orvela
