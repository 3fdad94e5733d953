#pragma once
// Tarvel F meter: the Tarvel 2001's self-describing protocol with its own id table (error archives under
// a level-1 branch of their own, Russian names only). What the tree controllers need to discover it; its
// current-value and archive reads are not built yet and answer false.
#include "drivers/TarvelDataModel.h"

namespace orvela {

class TTarvelF : public TTarvelDataModel {
 public:
  using TTarvelDataModel::TTarvelDataModel;

  void DescribeNode(const TIdPath& path, TNTreeData& node, std::string& name, int& kind) override;
  bool ReadBranchList(int length, std::span<const uint8_t> path, TRListData& list) override;
  bool BuildTree(TNTreeData*) override { return false; }
};

}  // namespace orvela
