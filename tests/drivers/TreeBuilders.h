#pragma once
// Tree builders for drivers that build their device's tree themselves, over the real tree and tree controller
// (so the parameter leaves are the controller's own).
#include <string>
#include <vector>

#include "drivers/DataModel.h"
#include "tree/TreeController.h"
#include "tree/UiBridge.h"

namespace orvela::test {

// A driver's tree builder over a tree the test keeps (the real tree controller adds the parameter leaves).
class TTreeBuilderOver : public ITreeBuilder {
 public:
  explicit TTreeBuilderOver(TTree& tree) : tree_(tree), trees_(tree, ui_) {}

  TNTreeData* CreateNode() override { return tree_.CreateNode(); }
  void AttachChild(TNTreeData* parent, TNTreeData* child) override { tree_.AttachChild(parent, child); }
  void DetachChild(TNTreeData* parent, TNTreeData* child) override { tree_.DetachChild(parent, child); }
  void AddParameterLeaves(TNTreeData* node, int set) override { trees_.AddParameterLeaves(node, set); }
  bool SerialTaken(const std::string&, const TNTreeData*) override { return false; }
  void ErrorMessage(const std::string& text) override { messages.push_back(text); }

  std::vector<std::string> messages;

 private:
  TTree& tree_;
  THeadlessUi ui_;
  TTreeController trees_;
};

struct TOwnedTree {
  TTree tree;
};

// The same over a tree of its own.
class TTestTreeBuilder : public TOwnedTree, public TTreeBuilderOver {
 public:
  TTestTreeBuilder() : TTreeBuilderOver(tree) { root = tree.Root(); }

  // A device node under the root, as the scan makes it.
  TNTreeData* Device(uint8_t address, uint8_t modelCode) {
    TNTreeData* device = tree.AddChildNamed(root, "");
    device->Kind = nkDevice;
    device->Address = address;
    device->ModelCode = modelCode;
    return device;
  }

  // The child of a node by its name; nullptr when none.
  static TNTreeData* Child(const TNTreeData* node, const std::string& name) {
    for (TNTreeData* child : node->Children)
      if (child->Name == name) return child;
    return nullptr;
  }
  static std::vector<std::string> Names(const TNTreeData* node) {
    std::vector<std::string> names;
    for (const TNTreeData* child : node->Children) names.push_back(child->Name);
    return names;
  }

  TNTreeData* root = nullptr;
};

}  // namespace orvela::test
