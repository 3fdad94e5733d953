#include "endpoint/EndpointTree.h"

#include <algorithm>
#include <set>

#include "endpoint/EndpointRequest.h"

namespace orvela::endpoint {
namespace {

int32_t DataTypeCode(const TNTreeData& node) {
  const TVariant& type = Attribute(node, asDataType).Value;
  if (type.vt == VT_EMPTY) return 0;
  return static_cast<int32_t>(type.IsInteger() ? type.i : static_cast<int64_t>(type.AsDouble()));
}

const char* AccessText(uint16_t mode) {
  return mode == 2 ? "rw" : mode == 3 ? "w" : "r";
}

// The attribute's text, or its string value when the text is empty.
std::string AttributeText(const TNTreeData& node, TAttributeSlot slot) {
  const TAttribRec& attribute = Attribute(node, slot);
  return attribute.Text.empty() && attribute.Value.vt == VT_BSTR ? attribute.Value.s : attribute.Text;
}

bool Listed(const TNTreeData* node) {
  return node && (node->DAVisible || node->HDAVisible);
}

Json NodeJson(const TNTreeData& node, const Json& parent) {
  const int32_t vt = DataTypeCode(node);
  return Json{{"nid", node.Path},
              {"parent", parent},
              {"name", node.Name},
              {"kind", IsVariable(node) ? "variable" : "folder"},
              {"da", node.DAVisible},
              {"hist", node.HDAVisible},
              {"vt", vt},
              {"type", TypeName(vt)},
              {"access", AccessText(node.AccessMode)},
              {"step", static_cast<int64_t>(node.ArchiveStep)},
              {"units", AttributeText(node, asUnits)},
              {"desc", AttributeText(node, asDescription)}};
}

}  // namespace

bool IsVariable(const TNTreeData& node) {
  if (node.Kind == nkParameter || node.Kind == nkGroupedParameter) return true;
  const bool leaf = std::none_of(node.Children.begin(), node.Children.end(), Listed);
  return leaf && (node.Kind == nkBranch || node.Kind == nkSubBranch);
}

std::vector<Json> Snapshot(TTree& tree) {
  std::vector<Json> nodes;
  auto lock = tree.ReadLock();
  TNTreeData* root = tree.Root();
  if (!root) return nodes;
  std::set<std::string> seen;
  auto visit = [&](auto& self, const TNTreeData& node, const Json& parent) -> void {
    if (!seen.insert(node.Path).second) return;
    nodes.push_back(NodeJson(node, parent));
    const Json selfId = node.Path;
    for (const TNTreeData* child : node.Children)
      if (Listed(child)) self(self, *child, selfId);
  };
  visit(visit, *root, nullptr);
  return nodes;
}

uint32_t Generation(const std::vector<Json>& nodes) {
  uint32_t hash = 2166136261u;
  for (const Json& node : nodes)
    for (unsigned char c : Line(node)) hash = (hash ^ c) * 16777619u;
  return hash;
}

HRESULT Refusal(TTree& tree, const std::string& nid, bool hist) {
  const TNTreeData* node = tree.ResolveIdentifier(nid);
  if (!node) return kUnknownItem;
  if (!IsVariable(*node) || !(hist ? node->HDAVisible : node->DAVisible)) return kBadRights;
  return S_OK;
}

}  // namespace orvela::endpoint
