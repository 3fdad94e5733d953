#include "engine/CancelligThread.h"

namespace orvela {

TCancelligThread::~TCancelligThread() {
  Join();
}

void TCancelligThread::Start() {
  thread_ = std::jthread([this](std::stop_token stop) {
    Execute(stop);
    finished_ = true;
  });
}

void TCancelligThread::Join() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  thread_.join();
}

std::string TCancelligThread::Description() const {
  std::lock_guard lock(textMutex_);
  return description_;
}
void TCancelligThread::SetDescription(const std::string& text) {
  std::lock_guard lock(textMutex_);
  description_ = text;
}
std::string TCancelligThread::Status() const {
  std::lock_guard lock(textMutex_);
  return status_;
}
void TCancelligThread::SetStatus(const std::string& text) {
  std::lock_guard lock(textMutex_);
  status_ = text;
}

}  // namespace orvela
