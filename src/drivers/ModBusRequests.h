#pragma once
// What the drivers of plain ModBus devices (Orlix, Zelio, KM) share: their request frames, the check of a
// reply against its request, the retried exchange and the device address a read is for.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "drivers/Pribor.h"
#include "protocols/Protocol.h"

namespace orvela {

struct TNTreeData;

namespace modbusreq {

// Read of `count` registers, coils or inputs (functions 1 to 4) from `start`.
std::vector<uint8_t> Read(uint8_t address, uint8_t function, uint16_t start, uint16_t count);
// Function 16 for `bytes.size() / 2` registers from `start` (the bytes high byte first).
std::vector<uint8_t> WriteRegisters(uint8_t address, uint16_t start, std::span<const uint8_t> bytes);
// The reply carries what the request asked for: a read's byte count, a write's echo.
bool Fits(std::span<const uint8_t> request, const TBytes& reply);

struct TAsk {
  int code = 0;      // Transact's transaction code
  int attempts = 1;  // counted tries
  // A device that does not answer (-2) is asked again this often without counting the try.
  int uncountedNoAnswers = 0;
};
// Transact until a reply fits the request, as TAsk says; a device given up (-5) or the program's end stops
// at once. The reply stays in reply; trace gets the line of a reply that did not fit.
bool Ask(TProtocol& framing, const std::vector<uint8_t>& request, const TAsk& how, TBytes& reply,
         const std::function<void(const std::string&)>& trace);

// The network address of the device: its record's, else that of the node's device.
uint8_t DeviceAddress(const TPribor* device, const TNTreeData* node);

}  // namespace modbusreq
}  // namespace orvela
