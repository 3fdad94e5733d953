#pragma once
// Names, visibility, archive steps and attributes of the node ids of the Tarvel M meter: an operative-data
// branch, a timer and up to four subsystems (heat systems), each with its current values and archives.
// Paths are the meter's own (subsystem or operative branch, then branch, then parameter), whatever layout
// the tree shows them in.
#include <cstdint>
#include <string>

#include "drivers/DriverRecords.h"
#include "tree/TreeItem.h"

namespace orvela {

enum TTarvelMId : uint8_t {
  tmOperative = 8,
  tmTimer = 24,
  tmPowerDates = 88,
  tmSubsystem1 = 200,
  tmSubsystem2 = 216,
  tmSubsystem3 = 232,
  tmSubsystem4 = 248,
  tmTarvel011 = 0x88,  // a level-1 branch only the Tarvel 011 variant has
  tmHoursParameter = 13,
};

// Data type of the error-archive parameters of the M.
constexpr int kDataTypeMErrorRecord = 16385;
// Describe kinds of the M: 2 current parameters, 1 error-archive parameters.
constexpr int kDescribeMErrorParameter = 1;
constexpr int kDescribeMCurrentParameter = 2;

// Subsystem ids (and the operative branch 8) all end in the bits 1000.
constexpr bool IsMSubsystemId(uint8_t id) {
  return (id & 0x0F) == 0x08;
}

// Fills a fresh node for the meter's path and returns its name; empty when the meter has no such node.
std::string DescribeTarvelMNode(const TIdPath& path, bool english, TNTreeData& node, int& kind);

}  // namespace orvela
