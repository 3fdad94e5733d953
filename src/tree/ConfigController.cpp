#include "tree/ConfigController.h"

#include "platform/BinaryIO.h"
#include "platform/Cp1251.h"
#include "tree/TreeFile.h"

namespace orvela {
namespace {

// Runs one file's work and turns what it throws into the file's problem; a format error is a damaged
// file when reading and a failed write when writing.
template <class Fn>
std::optional<EConfigFile> Guard(const std::filesystem::path& file, TConfigFault formatFault, Fn work) {
  try {
    work();
  } catch (const EConfigFile& e) {
    return e;
  } catch (const EFormatError& e) {
    return EConfigFile(formatFault, file, e.Offset(), e.Reason());
  }
  return std::nullopt;
}

void Collect(TConfigProblems& problems, std::optional<EConfigFile> problem) {
  if (problem) problems.push_back(std::move(*problem));
}

// The settings keep folders as full paths, which must not depend on the directory the program ran in.
std::filesystem::path FullPath(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::path full = std::filesystem::absolute(folder, ec);
  return ec ? folder : full.lexically_normal();
}

}  // namespace

TConfigController::TConfigController(std::filesystem::path programFolder, TTree& tree)
    : programFolder_(FullPath(programFolder)),
      programFolderText_(FolderText(programFolder_)),
      tree_(tree),
      settings_(TSettings::Defaults()) {
  ApplyFolderRules();
  // As after every load, so that a record saved without one reads back unchanged.
  settings_.ChecksumMode = 1;
  settings_.ReadMark = 1;
  // Nothing was read: the defaults stand for the program folder, which is how tParam.dat names it.
  storedFolders_ = {kApplicationFolder, kApplicationFolder};
  loadedFolders_ = Folders();
}

bool TConfigController::AnySaveRefused() const {
  for (const std::string& refusal : refusals_)
    if (!refusal.empty()) return true;
  return false;
}

std::vector<std::string> TConfigController::Notices() const {
  std::vector<std::string> notices;
  for (const std::string* notice : {&folderNotice_, &treeNotice_})
    if (!notice->empty()) notices.push_back(*notice);
  return notices;
}

void TConfigController::SetRefusal(TConfigPart part, const std::optional<EConfigFile>& problem) {
  // A missing file holds nothing that saving could lose.
  if (problem && problem->Fault() != TConfigFault::Missing)
    RefusalOf(part) = std::string(problem->what()) + "; saving would replace the file with what was loaded";
  else
    RefusalOf(part).clear();
}

std::optional<EConfigFile> TConfigController::Refused(TConfigPart part, const std::filesystem::path& file,
                                                      bool force) const {
  const std::string& refusal = SaveRefusal(part);
  if (refusal.empty() || force) return std::nullopt;
  return EConfigFile(TConfigFault::SaveRefused, file, EConfigFile::kNoOffset,
                     "not saved: " + refusal + " (save with force to write it anyway)");
}

std::filesystem::path TConfigController::ProjectFolder() const {
  return settings_.ProjectFolder;
}
std::filesystem::path TConfigController::SettingsPath() const {
  return programFolder_ / kSettingsFileName;
}
std::filesystem::path TConfigController::ConnectionsPath() const {
  return ProjectFolder() / kConnectionFileName;
}
std::filesystem::path TConfigController::TreePath() const {
  return ProjectFolder() / kTreeFileName;
}

void TConfigController::ApplyFolderRules() {
  if (settings_.ProjectFolder.empty() || settings_.ProjectFolder == kApplicationFolder)
    settings_.ProjectFolder = programFolderText_;
  if (settings_.ConnectionFile.empty() || settings_.ConnectionFile == kApplicationFolder)
    settings_.ConnectionFile = programFolderText_ + kConnectionFileName;
}

void TConfigController::SetFolders(const TFolders& folders) {
  settings_.ProjectFolder = folders.Project;
  settings_.ConnectionFile = folders.ConnectionFile;
}

TConfigController::TFolders TConfigController::FoldersFor(const std::filesystem::path& folder) const {
  std::string name = FileNamePart(settings_.ConnectionFile);
  if (name.empty()) name = kConnectionFileName;
  const std::string text = FolderText(FullPath(folder));
  return {text, text + name};
}

// ---------------------------------------------------------------------------------------------------------
// Settings

std::optional<EConfigFile> TConfigController::LoadSettings() {
  const std::filesystem::path file = SettingsPath();
  const bool replaceDuplicates = settings_.ReplaceDuplicates;  // lives in memory only
  auto problem = Guard(file, TConfigFault::Damaged, [&] {
    const std::vector<uint8_t> bytes = ReadConfigFile(file);
    if (bytes.size() < TSettings::kSize) {
      // The fields that were read count, the rest stay zero: defaults in their place would be saved
      // over the file as if the operator had chosen them.
      settings_ = DecodeSettingsPrefix(bytes);
      throw EFormatError(bytes.size(), "settings record has " + std::to_string(bytes.size()) + " of " +
                                           std::to_string(TSettings::kSize) + " bytes");
    }
    settings_ = DecodeSettings(bytes);
  });
  if (problem && problem->Fault() == TConfigFault::Missing) {
    // A fresh install: the settings window's defaults, so the queue neither spins nor listens on port 0.
    settings_ = TSettings::Defaults();
  }
  settings_.ReplaceDuplicates = replaceDuplicates;
  // With no file, the folders are the program folder, by the name tParam.dat gives it.
  storedFolders_ = problem && problem->Fault() == TConfigFault::Missing
                       ? TFolders{kApplicationFolder, kApplicationFolder}
                       : Folders();
  ApplyFolderRules();
  ResolveProjectFolder();
  loadedFolders_ = Folders();
  settings_.ChecksumMode = 1;
  settings_.ReadMark = 1;
  SetRefusal(TConfigPart::Settings, problem);
  return problem;
}

bool TConfigController::IsProgramFolder(const std::string& folder) const {
  std::error_code ec;
  return folder == programFolderText_ || std::filesystem::equivalent(folder, programFolder_, ec);
}

std::string TConfigController::UnusableFolderReason(const std::string& folder) const {
  if (IsProgramFolder(folder)) return {};
  if (folder.empty() || folder.front() != '/') return "is not a folder of this machine";
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) return "does not exist";
  // A project folder holds tConn.dat and Config.kopc only; one with its own tParam.dat is a program
  // folder, and another installation's: the one this program folder was copied from.
  if (std::filesystem::exists(std::filesystem::path(folder) / kSettingsFileName, ec))
    return "is the program folder of another installation";
  return {};
}

void TConfigController::ResolveProjectFolder() {
  folderNotice_.clear();
  const std::string reason = UnusableFolderReason(settings_.ProjectFolder);
  if (reason.empty()) return;
  folderNotice_ = "The stored project folder \"" + settings_.ProjectFolder + "\" " + reason +
                  ": the configuration is read from and saved to the program folder \"" + programFolderText_ +
                  "\"";
  settings_.ProjectFolder = programFolderText_;
}

std::optional<std::string> TConfigController::StoredFolderText(const std::string& value,
                                                               const std::string& loaded,
                                                               const std::string& stored,
                                                               const std::string& ownDefault) {
  // Unchanged: as the file had it, so a folder of another machine stays for that machine.
  if (value == loaded) return stored;
  // The program folder under the name that still means it when the folder is copied or moved.
  if (value == ownDefault) return std::string(kApplicationFolder);
  const std::string cp1251 = Utf8ToCp1251(value);
  if (cp1251.size() <= TSettings::kFolderWidth && Cp1251ToUtf8(cp1251) == value) return value;
  return std::nullopt;
}

std::optional<EConfigFile> TConfigController::SaveSettings(bool force) {
  const std::filesystem::path file = SettingsPath();
  if (auto refused = Refused(TConfigPart::Settings, file, force)) return refused;
  TSettings stored = settings_;
  const auto project = StoredFolderText(settings_.ProjectFolder, loadedFolders_.Project,
                                        storedFolders_.Project, programFolderText_);
  if (!project)
    return EConfigFile(TConfigFault::WriteFailed, file, EConfigFile::kNoOffset,
                       "the project folder \"" + settings_.ProjectFolder + "\" does not fit the " +
                           std::to_string(TSettings::kFolderWidth) + " Windows-1251 characters of its field");
  stored.ProjectFolder = *project;
  // The connection-file path is only shown, never opened: when it does not fit it is stored cut.
  if (auto connectionFile =
          StoredFolderText(settings_.ConnectionFile, loadedFolders_.ConnectionFile,
                           storedFolders_.ConnectionFile, programFolderText_ + kConnectionFileName))
    stored.ConnectionFile = *connectionFile;
  const auto record = EncodeSettings(stored);
  auto problem = Guard(file, TConfigFault::WriteFailed, [&] { WriteConfigFile(file, record); });
  if (!problem) RefusalOf(TConfigPart::Settings).clear();
  return problem;
}

// ---------------------------------------------------------------------------------------------------------
// Connections

void TConfigController::InstallConnections(TConnectionList list) {
  for (const TConnRow& row : connections_.Rows)
    if (row.Settings) retiredSettings_.push_back(row.Settings.Share());
  connections_ = std::move(list);
}

std::optional<EConfigFile> TConfigController::LoadConnections() {
  const std::filesystem::path file = ConnectionsPath();
  auto problem = Guard(file, TConfigFault::Damaged,
                       [&] { InstallConnections(DecodeConnectionList(ReadConfigFile(file))); });
  SetRefusal(TConfigPart::Connections, problem);
  return problem;
}

std::optional<EConfigFile> TConfigController::SaveConnections(bool force) {
  const std::filesystem::path file = ConnectionsPath();
  if (auto refused = Refused(TConfigPart::Connections, file, force)) return refused;
  auto problem = Guard(file, TConfigFault::WriteFailed,
                       [&] { WriteConfigFile(file, EncodeConnectionList(connections_)); });
  if (!problem) RefusalOf(TConfigPart::Connections).clear();
  return problem;
}

// ---------------------------------------------------------------------------------------------------------
// Tree

std::vector<uint8_t> TConfigController::ReadTreeFile(const std::filesystem::path& file) const {
  std::vector<uint8_t> bytes;
  try {
    bytes = ReadConfigFile(file);
  } catch (const EConfigFile& e) {
    if (e.Fault() == TConfigFault::Missing) return {};
    throw;
  }
  if (!bytes.empty()) {
    // Read once into a scratch tree: the live tree is touched only by a file known to be whole.
    TTree scratch(tree_.English());
    DecodeTree(bytes, scratch);
  }
  return bytes;
}

void TConfigController::InstallTree(const std::vector<uint8_t>& checked) {
  TNTreeData* root = checked.empty() ? tree_.CreateRoot() : DecodeTree(checked, tree_);
  tree_.SetRoot(root);
  tree_.ShowTree(root, nullptr, nullptr);
  deviceCount_ = root->Children.size();
}

std::optional<EConfigFile> TConfigController::LoadTree() {
  const std::filesystem::path file = TreePath();
  auto problem = Guard(file, TConfigFault::Damaged, [&] { InstallTree(ReadTreeFile(file)); });
  // A tree that failed to load is never written over its file (the operator's only copy of it).
  SetRefusal(TConfigPart::Tree, problem);
  treeNotice_.clear();
  if (!problem) GuardMissingTree();
  return problem;
}

void TConfigController::GuardMissingTree() {
  std::error_code ec;
  const std::filesystem::path own = programFolder_ / kTreeFileName;
  if (IsProgramFolder(settings_.ProjectFolder) || std::filesystem::exists(TreePath(), ec) ||
      std::filesystem::file_size(own, ec) == 0 || ec)
    return;
  treeNotice_ = "The project folder \"" + settings_.ProjectFolder + "\" holds no " + kTreeFileName +
                " while the program folder holds one: the tree starts with only the root";
  RefusalOf(TConfigPart::Tree) =
      treeNotice_ + "; saving would write it over nothing but leave the stored tree behind";
}

std::optional<EConfigFile> TConfigController::SaveTree(bool force) {
  const std::filesystem::path file = TreePath();
  TNTreeData* root = tree_.Root();
  if (!root) return EConfigFile(TConfigFault::WriteFailed, file, EConfigFile::kNoOffset, "there is no tree");
  if (auto refused = Refused(TConfigPart::Tree, file, force)) return refused;
  auto problem = Guard(file, TConfigFault::WriteFailed, [&] {
    std::vector<uint8_t> bytes;
    {
      // Writing may replace an attribute value the file cannot hold.
      auto lock = tree_.WriteLock();
      bytes = EncodeTree(*root);
    }
    WriteConfigFile(file, bytes);
  });
  if (!problem) RefusalOf(TConfigPart::Tree).clear();
  return problem;
}

// ---------------------------------------------------------------------------------------------------------
// Operator commands

TConfigProblems TConfigController::Save(bool force) {
  TConfigProblems problems;
  Collect(problems, SaveSettings(force));
  Collect(problems, SaveTree(force));
  Collect(problems, SaveConnections(force));
  return problems;
}

TConfigProblems TConfigController::CreateCopy(const std::filesystem::path& folder, bool force) {
  TConfigProblems problems;
  Collect(problems, SaveTree(force));
  Collect(problems, SaveConnections(force));
  const TFolders working = Folders();
  const auto afterWorking = refusals_;
  SetFolders(FoldersFor(folder));
  Collect(problems, SaveConnections(force));
  Collect(problems, SaveTree(force));
  SetFolders(working);
  // Only the writes into the project folder replace the files the refusals are about.
  refusals_ = afterWorking;
  return problems;
}

TConfigProblems TConfigController::SaveAs(const std::filesystem::path& folder, bool force) {
  TConfigProblems problems;
  const TFolders working = Folders();
  const auto refusals = refusals_;
  SetFolders(FoldersFor(folder));
  Collect(problems, SaveConnections(force));
  Collect(problems, SaveTree(force));
  if (!problems.empty()) {
    SetFolders(working);
    refusals_ = refusals;
    return problems;
  }
  // The files there are now what the program holds.
  RefusalOf(TConfigPart::Connections).clear();
  RefusalOf(TConfigPart::Tree).clear();
  treeNotice_.clear();
  Collect(problems, SaveSettings(force));
  return problems;
}

TConfigProblems TConfigController::Open(const std::filesystem::path& folder) {
  const std::filesystem::path connectionsFile = folder / kConnectionFileName;
  const std::filesystem::path treeFile = folder / kTreeFileName;
  TConnectionList list;
  std::vector<uint8_t> treeBytes;
  TConfigProblems problems;
  Collect(problems, Guard(connectionsFile, TConfigFault::Damaged,
                          [&] { list = DecodeConnectionList(ReadConfigFile(connectionsFile)); }));
  Collect(problems, Guard(treeFile, TConfigFault::Damaged, [&] { treeBytes = ReadTreeFile(treeFile); }));
  if (!problems.empty()) return problems;
  InstallConnections(std::move(list));
  InstallTree(treeBytes);
  RefusalOf(TConfigPart::Connections).clear();
  RefusalOf(TConfigPart::Tree).clear();
  treeNotice_.clear();
  SetFolders(FoldersFor(folder));
  return problems;
}

}  // namespace orvela
