#pragma once
// Where a link and its framing write their lines: the connection order's channel log and status text.
// The connection order implements it; links and framings only hold a pointer (not owned).
#include <mutex>
#include <string>
#include <vector>

namespace orvela {

class IChannelLog {
 public:
  virtual ~IChannelLog() = default;
  // True while the channel log is switched on and open; failures are then copied into it.
  virtual bool TraceOn() const = 0;
  // Time-stamped line with milliseconds.
  virtual void LogLine(const std::string& text) = 0;
  // Time-stamped line without milliseconds.
  virtual void LogPlain(const std::string& text) = 0;
  // One item of a byte trace: the text and a blank, a new line after every 16th item.
  virtual void LogTraceItem(const std::string& text) = 0;
  // Ends the current line and starts a time-stamped one with the text.
  virtual void LogTraceStart(const std::string& text) = 0;
  // The reader's status text shown in the task monitor.
  virtual void SetStatus(const std::string& text) = 0;
};

// Keeps everything in memory: for tests and command-line tools. Thread-safe.
class TMemoryChannelLog : public IChannelLog {
 public:
  enum class Kind { Line, Plain, TraceItem, TraceStart, Status };
  struct Entry {
    Kind kind;
    std::string text;
  };

  explicit TMemoryChannelLog(bool traceOn = true) : traceOn_(traceOn) {}
  bool TraceOn() const override { return traceOn_; }
  void LogLine(const std::string& text) override { Add(Kind::Line, text); }
  void LogPlain(const std::string& text) override { Add(Kind::Plain, text); }
  void LogTraceItem(const std::string& text) override { Add(Kind::TraceItem, text); }
  void LogTraceStart(const std::string& text) override { Add(Kind::TraceStart, text); }
  void SetStatus(const std::string& text) override { Add(Kind::Status, text); }

  std::vector<Entry> Entries() const;
  // Texts of the entries of one kind, in order.
  std::vector<std::string> Texts(Kind kind) const;
  // True when some entry of the kind contains the fragment.
  bool Contains(Kind kind, const std::string& fragment) const;
  void Clear();

 private:
  void Add(Kind kind, const std::string& text);
  bool traceOn_;
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};

}  // namespace orvela
