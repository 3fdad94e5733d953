#pragma once
// What the OPC server objects (DA and HDA) share in one process: the device tree they name items in, the
// polling engine every read goes through, the logs and the clock. The server host owns it and hands it
// to the class factories; tests build their own.
#include <chrono>

#include "engine/EngineContext.h"
#include "engine/UReqOrder.h"
#include "platform/Clock.h"
#include "tree/TreeItem.h"

namespace orvela {

struct TServerContext {
  TTree& tree;
  // Every server object holds it (InitAsync) while it lives and lets go (FinalAsync) when destroyed, so
  // the engine runs while any server object of either kind lives.
  TAsyncEngine& engine;
  // Journal lines ("Сервер DA запущен") and work-log lines of the server objects.
  IEngineLogs& logs;
  Clock& clock;
  // Upper bound of a synchronous read's wait for the devices; an item still waiting then is answered
  // with an error of its own.
  std::chrono::milliseconds syncReadLimit{std::chrono::minutes(3)};
};

}  // namespace orvela
