#pragma once
// A device node of a Tarvel M on a simulated line and the tree builder its driver builds the tree through
// (the real tree and tree controller, so the parameter leaves are the controller's own).
#include <string>
#include <vector>

#include "drivers/DataModel.h"
#include "tree/TreeController.h"
#include "tree/UiBridge.h"

namespace orvela::test {

class TTestTreeBuilder : public ITreeBuilder {
 public:
  TTestTreeBuilder() : trees(tree, ui) { root = tree.Root(); }

  TNTreeData* CreateNode() override { return tree.CreateNode(); }
  void AttachChild(TNTreeData* parent, TNTreeData* child) override { tree.AttachChild(parent, child); }
  void DetachChild(TNTreeData* parent, TNTreeData* child) override { tree.DetachChild(parent, child); }
  void AddParameterLeaves(TNTreeData* node, int set) override { trees.AddParameterLeaves(node, set); }
  bool SerialTaken(const std::string&, const TNTreeData*) override { return false; }
  void ErrorMessage(const std::string& text) override { messages.push_back(text); }

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

  TTree tree;
  THeadlessUi ui;
  TTreeController trees;
  TNTreeData* root = nullptr;
  std::vector<std::string> messages;
};

}  // namespace orvela::test
