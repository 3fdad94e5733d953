#pragma once
// The configuration files of older versions: tttarvel.dat and tttarDA.dat (the HDA and DA trees as
// text, one line per node in pre-order, one tab per level before the caption) and tttarvel.ftd (the node
// records of both trees). Only read: nothing writes these files any more.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tree/TreeItem.h"

namespace orvela {

constexpr const char* kOldHdaTreeFile = "tttarvel.dat";
constexpr const char* kOldDaTreeFile = "tttarDA.dat";
constexpr const char* kOldRecordFile = "tttarvel.ftd";
constexpr size_t kOldRecordSize = 3204;

// One line of a tree text.
struct TOldLine {
  int Depth = 0;
  std::string Caption;  // UTF-8
};

// What a node record holds that the import uses.
struct TOldRecord {
  uint8_t Level = 0;
  uint8_t Address = 0;
  TConnKey ConnKey;
  uint16_t AccessMode = 0;
  uint32_t DriverValue = 0;
  std::string Serial;
  uint8_t ModelCode = 0;
  uint8_t Kind = 0;
  int32_t DriverNumber = 0;
  std::array<TAttribRec, kAttributeCount> Attributes{};  // by the slots of their identifiers
  bool DAVisible = false;
  bool HDAVisible = false;
  int32_t DaPosition = -1;  // the counterpart's line in the DA tree; negative: none
};

struct TOldConfiguration {
  std::vector<TOldLine> HdaLines;
  std::vector<TOldLine> DaLines;
  // The record of each line (none when the file held fewer records than lines).
  std::vector<std::optional<TOldRecord>> HdaRecords;
  std::vector<std::optional<TOldRecord>> DaRecords;
};

// Throws EConfigFile naming the file and offset: Missing when one of the three files is not there,
// Damaged for a tree text whose levels jump or go deeper than a tree can, a truncated record file, a
// count beyond what the file holds. A DA position outside the DA tree links no DA node; a serial length
// beyond its field is cut to the field.
TOldConfiguration ReadOldConfiguration(const std::filesystem::path& folder);
TOldRecord DecodeOldRecord(std::span<const uint8_t> record);
std::vector<TOldLine> ParseOldTreeText(std::span<const uint8_t> text, const std::filesystem::path& file);

// Builds the devices of an old configuration under a new temporary root of tree (not installed): each
// device of the HDA tree with its subtree, filled from its records, and the DA subtree of the device at
// the same position merged in by name.
TNTreeData* BuildOldConfiguration(const TOldConfiguration& config, TTree& tree);

}  // namespace orvela
