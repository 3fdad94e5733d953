#pragma once
// The tree controller: the root and the devices under it. Normalises the root after a load, merges trees
// of new devices into the configuration with the duplicate rules, removes devices, renumbers handles,
// answers the device count and serial list, adds the standard parameter leaves and imports the
// configurations of older versions.
#include <filesystem>
#include <string>
#include <vector>

#include "tree/TreeItem.h"
#include "tree/UiBridge.h"

namespace orvela {

// Leaves AddParameterLeaves hangs below a node.
enum TLeafMode : int {
  lmArchive = 2,         // value, hours, error code
  lmArchiveNoValue = 3,  // hours, error code
  lmCurrent = 4,         // value, status
};

class TTreeController {
 public:
  // view may be nullptr (headless): paths are still built.
  TTreeController(TTree& tree, IUiBridge& ui, IViewTree* view = nullptr);

  TTree& Tree() { return tree_; }
  IUiBridge& Ui() { return ui_; }

  // Makes or renames the root, builds paths and view nodes, and stores child counts and indexes.
  void NormaliseRoot();
  // Moves every child of newRoot under the root, in order, unless it duplicates a device already there
  // (replace: the old device goes instead). Returns the number of devices added.
  size_t MergeDevices(TNTreeData* newRoot, bool replace);
  // Detaches a device from the root; the tree is renumbered.
  void RemoveDevice(TNTreeData* device);
  void Renumber();

  size_t DeviceCount() const;
  // The serials of the devices now under the root (devices without one are left out).
  std::vector<std::string> Serials() const;
  bool HasSerial(const std::string& serial) const;
  // The device under the root named text or with the serial text; nullptr when none or when several
  // devices have that name.
  TNTreeData* FindDeviceByNameOrSerial(const std::string& text) const;
  // The existing device the new one would duplicate: same serial and name; for a device without a serial
  // (families that have none) the same connection, address and model code as well, since its name alone
  // is only the family's.
  TNTreeData* FindDuplicate(const TNTreeData& device) const;

  // Standard leaves below an archive or current-data node (kind becomes 4 unless it is 5).
  void AddParameterLeaves(TNTreeData* node, int mode);

  // Reads tttarvel.dat, tttarDA.dat and tttarvel.ftd from folder and merges their devices. Throws
  // EConfigFile (Missing, Damaged) naming the file and the offset; nothing is merged then. Returns the
  // number of devices added.
  size_t ImportOldConfiguration(const std::filesystem::path& folder, bool replace);

 private:
  void ShowDeviceCount();
  // A device without a serial whose family name another device already has gets a numbered name, so
  // that item identifiers stay unique.
  void MakeNameUnique(TNTreeData& device) const;

  TTree& tree_;
  IUiBridge& ui_;
  IViewTree* view_;
};

}  // namespace orvela
