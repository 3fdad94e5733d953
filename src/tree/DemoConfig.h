#pragma once
// A small configuration built with the program's own operations, for the demo and for a first look on a
// fresh machine.
#include "tree/ConfigController.h"

namespace orvela {

// Where the demo's TCP connection points unless told otherwise.
constexpr int32_t kDemoTcpPort = 4001;

// Replaces the controller's connections and tree with two connections (a TCP client on the loopback at
// tcpPort and a serial line) and two devices with current data and an hourly archive. Nothing is written.
void BuildDemoConfiguration(TConfigController& controller, int32_t tcpPort = kDemoTcpPort);

}  // namespace orvela
