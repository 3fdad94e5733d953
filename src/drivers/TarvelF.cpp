#include "drivers/TarvelF.h"

#include "drivers/Tarvel2001Nodes.h"

namespace orvela {

void TTarvelF::DescribeNode(const TIdPath& path, TNTreeData& node, std::string& name, int& kind) {
  name = DescribeTarvelFNode(path, node, kind);
}

bool TTarvelF::ReadBranchList(int length, std::span<const uint8_t> path, TRListData& list) {
  return AskBranchList(length, path, list, "ТАРВЕЛ - запрос дерева");
}

}  // namespace orvela
