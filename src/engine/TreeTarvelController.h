#pragma once
// The configuration controller: talks to devices to build their subtrees. Scans connections for the
// maker's meters (auto-configuration), reads one device's configuration (the new-device dialog and
// "Прочитать (Обновить) конфигурацию") and walks the tree a self-describing meter reports.
//
// A read holds the engine for its whole length and marks the connection's order busy so that no reader
// thread starts on that connection meanwhile; both are released on every path, failures included.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "drivers/DataModel.h"
#include "drivers/TarvelFactory.h"
#include "tree/TreeController.h"

namespace orvela {

class TAsyncEngine;

// Outcomes of a device read.
constexpr int kReadDone = 0;
constexpr int kReadFailed = -1;

// Caller modes of a device read.
constexpr int kCallerMenu = 1;
constexpr int kCallerNewDevice = 2;

// How deep the discovery walk goes below a device; the meters' trees are three levels deep.
constexpr int kMaxDiscoveryDepth = 16;

// A stage of the work: text for the status line and a percentage (negative: unchanged).
using TProgressFn = std::function<void(const std::string& text, int percent)>;

// The family name a device gets from its model code, as the device tree shows it (trailing blanks kept).
std::string FamilyTreeName(uint8_t modelCode, bool english);

class TTreeTarvelController : private ITreeBuilder {
 public:
  // engine: started and stopped around every read (nullptr: a tool that runs without one).
  TTreeTarvelController(TTreeController& trees, IConnectionCatalog& catalog,
                        const TModelEnvironment& environment, TAsyncEngine* engine = nullptr,
                        ILinkOwner* owner = nullptr);

  void SetProgress(TProgressFn progress) { progress_ = std::move(progress); }
  // Asks a running scan or walk to stop at its next device or node.
  void Cancel() { cancel_ = true; }

  // Reads the device's configuration and builds its subtree into it: kReadDone or kReadFailed (told
  // through the UI bridge). The device may hang below a temporary root.
  int ReadDeviceConfiguration(TNTreeData* device, int callerMode = kCallerNewDevice);
  // "Прочитать (Обновить) конфигурацию": reads into a scratch node and puts the result into the device
  // only when the read succeeded, so a failed read leaves the device as it was.
  int RefreshDevice(TNTreeData* device);
  // Scans each connection, adds every meter not yet configured (by serial) under the root; returns how
  // many were added. A meter that does not answer is journalled and skipped.
  size_t AutoConfigure(const std::vector<TConnKey>& connections);
  // The discovery walk below a device (families 2 and 3): kReadDone or kReadFailed.
  int DiscoverTree(TDataModel& model, TNTreeData* device);
  void AddParameterLeaves(TNTreeData* node, int mode) override { trees_.AddParameterLeaves(node, mode); }

  int LastOutcome() const { return outcome_; }

 private:
  class TEngineHold;
  int ReadDevice(TNTreeData* device, TEngineHold& hold);
  // A node's children as the device lists them, each described, attached and walked in turn.
  bool WalkNode(TDataModel& model, TNTreeData* node, const TIdPath& path, int depth);
  TNTreeData* MakeChild(TNTreeData* parent, uint8_t id);
  // Another device under the root with this serial (the device being refreshed does not count).
  TNTreeData* OtherWithSerial(const std::string& serial, const TNTreeData* self) const;
  bool ScanConnection(const TConnKey& key, size_t& added);
  // The model of a family on a link the caller keeps, or the family's serial reader while it has none.
  std::unique_ptr<TDataModel> FamilyModel(uint8_t code, const TConnKey& key, TConnectionDevice* link);
  void Progress(const std::string& text, int percent);
  int Fail(const std::string& message);
  // What a driver that builds its own tree (BuildTree) asks of the tree.
  TNTreeData* CreateNode() override { return tree_.CreateNode(); }
  void AttachChild(TNTreeData* parent, TNTreeData* child) override { tree_.AttachChild(parent, child); }
  void DetachChild(TNTreeData* parent, TNTreeData* child) override { tree_.DetachChild(parent, child); }
  bool SerialTaken(const std::string& serial, const TNTreeData* device) override;
  void ErrorMessage(const std::string& text) override { trees_.Ui().Message(text, TMessageIcon::Error); }

  TTreeController& trees_;
  TTree& tree_;
  IConnectionCatalog& catalog_;
  TModelEnvironment environment_;
  TAsyncEngine* engine_;
  ILinkOwner* owner_;
  TProgressFn progress_;
  std::atomic<bool> cancel_{false};
  int outcome_ = kReadDone;
  const TNTreeData* refreshing_ = nullptr;
  int walkPercent_ = 0;
};

}  // namespace orvela
