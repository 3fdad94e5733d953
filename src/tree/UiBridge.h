#pragma once
// How the tree controllers and the configuration-reading thread reach the operator: messages, yes/no
// questions and the status panel. The operator program shows them in its window (on the main thread);
// headless, a message is written to the work log and printed, and a question takes the answer the caller
// gave in advance. Callable from any thread.
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace orvela {

enum class TMessageIcon : uint8_t { Information, Warning, Error };

class IUiBridge {
 public:
  virtual ~IUiBridge() = default;
  // A message box (caption "Сообщение программы").
  virtual void Message(const std::string& text, TMessageIcon icon = TMessageIcon::Information) = 0;
  // A warning with Yes and No; true for Yes.
  virtual bool Ask(const std::string& question) = 0;
  // The main window's status panel ("Приборов: 3").
  virtual void StatusPanel(const std::string&) {}
};

class THeadlessUi final : public IUiBridge {
 public:
  // out: where messages and questions are printed (nullptr: nowhere); answer: the reply to every question.
  explicit THeadlessUi(std::ostream* out = nullptr, bool answer = false) : out_(out), answer_(answer) {}

  void Message(const std::string& text, TMessageIcon icon = TMessageIcon::Information) override;
  bool Ask(const std::string& question) override;
  void StatusPanel(const std::string& text) override;

  void SetAnswer(bool answer);
  // What was shown so far, messages and questions in order.
  std::vector<std::string> Shown() const;
  std::string Status() const;

 private:
  void Show(const std::string& text);

  mutable std::mutex mutex_;
  std::ostream* out_;
  bool answer_;
  std::vector<std::string> shown_;
  std::string status_;
};

}  // namespace orvela
