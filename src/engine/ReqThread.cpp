#include "engine/ReqThread.h"

namespace orvela {

TReqThread::TReqThread(TTreeTarvelController& controller, Clock& clock, std::vector<TConnKey> connections)
    : controller_(controller),
      clock_(clock),
      mode_(kModeAutoConfigure),
      connections_(std::move(connections)) {}

TReqThread::TReqThread(TTreeTarvelController& controller, Clock& clock, std::vector<TNTreeData*> devices,
                       int callerMode)
    : controller_(controller),
      clock_(clock),
      mode_(kModeReadDevices),
      callerMode_(callerMode),
      devices_(std::move(devices)) {}

TReqThread::~TReqThread() {
  // The members the thread uses go before the base class would join it.
  Join();
}

void TReqThread::Execute(std::stop_token stop) {
  std::stop_callback cancel(stop, [this] { controller_.Cancel(); });
  controller_.SetProgress([this](const std::string& text, int percent) {
    SetDescription(text);
    if (percent >= 0) SetProgress(percent);
  });
  if (mode_ == kModeAutoConfigure) {
    SetStatus("Состояние : Автоконфигурирование");
    added_ = controller_.AutoConfigure(connections_);
    SetStatus("Статус: конфигурирование завершено");
  } else {
    SetStatus("Идет чтение конфигурации прибора");
    ReadDevices(stop);
  }
  controller_.SetProgress({});
  Done();
}

void TReqThread::ReadDevices(std::stop_token stop) {
  for (TNTreeData* device : devices_) {
    SetStatus("Статус: Опрашивается устройство");
    int outcome = controller_.ReadDeviceConfiguration(device, callerMode_);
    {
      std::lock_guard lock(mutex_);
      outcomes_.push_back(outcome);
    }
    SetStatus(outcome == kReadDone ? "Статус: Опрос завершен" : "Статус: Опрос закончился неудачей");
    clock_.Sleep(kFinalStatusPauseMs, stop);
  }
}

void TReqThread::Done() {
  std::lock_guard lock(mutex_);
  done_ = true;
  doneSignal_.notify_all();
}

void TReqThread::Wait() {
  std::unique_lock lock(mutex_);
  doneSignal_.wait(lock, [this] { return done_; });
}

std::vector<int> TReqThread::Outcomes() const {
  std::lock_guard lock(mutex_);
  return outcomes_;
}

}  // namespace orvela
