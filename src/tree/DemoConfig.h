#pragma once
// A small configuration built with the program's own operations, for the demo and for a first look on a
// fresh machine.
#include <functional>
#include <string>

#include "tree/ConfigController.h"

namespace orvela {

// Where the demo's TCP connection points unless told otherwise.
constexpr int32_t kDemoTcpPort = 4001;

// The demo's Tarvel 2001 meter, as the simulator of the demo serves it.
constexpr uint8_t kDemoMeterAddress = 1;
constexpr const char* kDemoMeterSerial = "12345678";
constexpr const char* kDemoMeterName = "Тарвел-1";

// What the meter's driver says about a node: fills the fresh node (already attached, its address the
// meter's id) with its name, visibility, archive step and attributes and returns the name (empty: the
// driver has no such node) and the describe kind (2: a current-data parameter). The tree layer does not
// know the drivers, so whoever builds the demo hands the driver's description in.
using TNodeDescriber = std::function<std::string(TNTreeData& node, bool english, int& kind)>;

// Replaces the controller's connections and tree with two connections (a TCP client on the loopback at
// tcpPort and a serial line) and two devices: the Tarvel 2001 meter of the demo line, described node by
// node through describe as a configuration read from the meter would build it (current data with value and
// status leaves, the hourly archive), and a ModBus controller. Without describe the meter is left out, for
// a configuration read from the meter itself to add. Nothing is written.
void BuildDemoConfiguration(TConfigController& controller, const TNodeDescriber& describe,
                            int32_t tcpPort = kDemoTcpPort);

}  // namespace orvela
