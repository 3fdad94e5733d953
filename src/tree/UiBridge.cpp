#include "tree/UiBridge.h"

#include "tree/WorkLog.h"

namespace orvela {

void THeadlessUi::Show(const std::string& text) {
  WorkLog(text);
  std::lock_guard lock(mutex_);
  shown_.push_back(text);
  if (out_ != nullptr) *out_ << text << "\n" << std::flush;
}

void THeadlessUi::Message(const std::string& text, TMessageIcon) {
  Show(text);
}

bool THeadlessUi::Ask(const std::string& question) {
  bool answer = false;
  {
    std::lock_guard lock(mutex_);
    answer = answer_;
  }
  Show(question + (answer ? " Да" : " Нет"));
  return answer;
}

void THeadlessUi::StatusPanel(const std::string& text) {
  std::lock_guard lock(mutex_);
  status_ = text;
}

void THeadlessUi::SetAnswer(bool answer) {
  std::lock_guard lock(mutex_);
  answer_ = answer;
}

std::vector<std::string> THeadlessUi::Shown() const {
  std::lock_guard lock(mutex_);
  return shown_;
}

std::string THeadlessUi::Status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

}  // namespace orvela
