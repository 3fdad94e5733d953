#pragma once
// The tree file (Config.kopc): one node record per node in pre-order, each record a run of tagged values
// (tree/KopcStream.h), without a header.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tree/TreeItem.h"

namespace orvela {

// Nesting below the root a file may have; real trees are a handful of levels deep.
constexpr int kMaxTreeDepth = 64;
// Nodes a tree may have: handles number them with 24 bits.
constexpr size_t kMaxTreeNodes = size_t{1} << 24;

// Writes root and everything below it. An attribute value the stream has no tag for becomes the integer
// -1, in the node as in the file; an attribute time that is not a calendar time is written as 0. Throws
// EFormatError for a tree that DecodeTree would refuse (too deep, too many nodes).
std::vector<uint8_t> EncodeTree(TNTreeData& root);

// Reads a root record and everything below it into new nodes made by tree, not attached to its root.
// Records of older versions (no driver number after the level) are accepted. Throws EFormatError, with
// the offset, for anything but whole, well-formed records within the bounds above, and for any byte after
// the root record.
TNTreeData* DecodeTree(std::span<const uint8_t> data, TTree& tree);

// An attribute time as the file keeps it: 0 when the calendar fields are not a valid time.
TDateTime AttributeTimeToDateTime(const SYSTEMTIME& time);

}  // namespace orvela
