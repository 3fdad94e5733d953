#pragma once
// A meter's subtree as a configuration read would build it: nodes along id paths from the device down,
// each described by the meter's own driver.
#include <initializer_list>
#include <string>

#include "drivers/DataModel.h"
#include "tree/TreeItem.h"

namespace orvela::test {

// The node at the end of path below device (made where missing, inner nodes as sub-branches named by
// the driver); the leaf becomes a parameter.
inline TNTreeData* AddDescribedPath(TTree& tree, TNTreeData* device, std::initializer_list<uint8_t> path,
                                    TDataModel& model) {
  TNTreeData* node = device;
  for (uint8_t id : path) {
    TNTreeData* child = nullptr;
    for (TNTreeData* c : node->Children)
      if (c->Address == id) child = c;
    if (!child) {
      child = tree.AddChildNamed(node, std::to_string(id));
      child->Address = id;
      child->Kind = nkSubBranch;
      std::string name;
      int kind = 0;
      model.DescribeNode(TIdPath::FromNode(child), *child, name, kind);
      child->Serial = device->Serial;
    }
    node = child;
  }
  node->Kind = nkParameter;
  return node;
}

}  // namespace orvela::test
