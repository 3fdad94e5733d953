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
  auto problem = Guard(file, TConfigFault::Damaged, [&] {
    TSettings loaded = DecodeSettings(ReadConfigFile(file));
    loaded.ReplaceDuplicates = settings_.ReplaceDuplicates;  // lives in memory only
    settings_ = std::move(loaded);
  });
  if (problem && problem->Fault() == TConfigFault::Missing) {
    // A fresh install: the settings window's defaults, so the queue neither spins nor listens on port 0.
    const bool replaceDuplicates = settings_.ReplaceDuplicates;
    settings_ = TSettings::Defaults();
    settings_.ReplaceDuplicates = replaceDuplicates;
  }
  ApplyFolderRules();
  settings_.ChecksumMode = 1;
  settings_.ReadMark = 1;
  return problem;
}

std::optional<std::string> TConfigController::StorableFolder(const std::string& folder,
                                                             const std::string& programDefault) const {
  const std::string cp1251 = Utf8ToCp1251(folder);
  if (cp1251.size() <= TSettings::kFolderWidth && Cp1251ToUtf8(cp1251) == folder) return folder;
  // The field cannot hold this path, but its meaning has a name the loader understands.
  if (folder == programDefault) return std::string(kApplicationFolder);
  return std::nullopt;
}

std::optional<EConfigFile> TConfigController::WriteSettings(const std::filesystem::path& file) {
  TSettings stored = settings_;
  const auto project = StorableFolder(settings_.ProjectFolder, programFolderText_);
  if (!project)
    return EConfigFile(TConfigFault::WriteFailed, file, EConfigFile::kNoOffset,
                       "the project folder \"" + settings_.ProjectFolder + "\" does not fit the " +
                           std::to_string(TSettings::kFolderWidth) + " Windows-1251 characters of its field");
  stored.ProjectFolder = *project;
  // The connection-file path is only shown, never opened: when it does not fit it is stored cut.
  if (auto connectionFile =
          StorableFolder(settings_.ConnectionFile, programFolderText_ + kConnectionFileName))
    stored.ConnectionFile = *connectionFile;
  const auto record = EncodeSettings(stored);
  return Guard(file, TConfigFault::WriteFailed, [&] { WriteConfigFile(file, record); });
}

std::optional<EConfigFile> TConfigController::SaveSettings() {
  return WriteSettings(SettingsPath());
}

// ---------------------------------------------------------------------------------------------------------
// Connections

std::optional<EConfigFile> TConfigController::LoadConnections() {
  const std::filesystem::path file = ConnectionsPath();
  return Guard(file, TConfigFault::Damaged,
               [&] { connections_ = DecodeConnectionList(ReadConfigFile(file)); });
}

std::optional<EConfigFile> TConfigController::SaveConnections() {
  const std::filesystem::path file = ConnectionsPath();
  return Guard(file, TConfigFault::WriteFailed,
               [&] { WriteConfigFile(file, EncodeConnectionList(connections_)); });
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
  treeLoadFailed_ = problem.has_value();
  return problem;
}

std::optional<EConfigFile> TConfigController::SaveTree() {
  const std::filesystem::path file = TreePath();
  TNTreeData* root = tree_.Root();
  if (!root) return EConfigFile(TConfigFault::WriteFailed, file, EConfigFile::kNoOffset, "there is no tree");
  if (treeLoadFailed_)
    return EConfigFile(TConfigFault::WriteFailed, file, EConfigFile::kNoOffset,
                       "the device tree was not loaded; saving would replace the stored tree");
  return Guard(file, TConfigFault::WriteFailed, [&] {
    std::vector<uint8_t> bytes;
    {
      // Writing may replace an attribute value the file cannot hold.
      auto lock = tree_.WriteLock();
      bytes = EncodeTree(*root);
    }
    WriteConfigFile(file, bytes);
  });
}

// ---------------------------------------------------------------------------------------------------------
// Operator commands

TConfigProblems TConfigController::Save() {
  TConfigProblems problems;
  Collect(problems, SaveSettings());
  Collect(problems, SaveTree());
  Collect(problems, SaveConnections());
  return problems;
}

TConfigProblems TConfigController::CreateCopy(const std::filesystem::path& folder) {
  TConfigProblems problems;
  Collect(problems, SaveTree());
  Collect(problems, SaveConnections());
  const TFolders working = Folders();
  SetFolders(FoldersFor(folder));
  Collect(problems, SaveConnections());
  Collect(problems, SaveTree());
  SetFolders(working);
  return problems;
}

TConfigProblems TConfigController::SaveAs(const std::filesystem::path& folder) {
  TConfigProblems problems;
  const TFolders working = Folders();
  SetFolders(FoldersFor(folder));
  Collect(problems, WriteSettings(folder / kSettingsFileName));
  Collect(problems, SaveConnections());
  Collect(problems, SaveTree());
  if (!problems.empty()) SetFolders(working);
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
  connections_ = std::move(list);
  InstallTree(treeBytes);
  treeLoadFailed_ = false;
  SetFolders(FoldersFor(folder));
  return problems;
}

}  // namespace orvela
