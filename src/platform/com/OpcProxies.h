#pragma once
// Proxy classes of the OPC callback interfaces, the ones the servers marshal to their worker threads.
#include <utility>
#include <vector>

#include "platform/com/ComRuntime.h"

namespace orvela::com_detail {
std::vector<std::pair<IID, TProxyFactory>> OpcProxyFactories();
}
