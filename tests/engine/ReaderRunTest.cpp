// The reader threads' run rules over scripted links on a manual clock: archive items left to make room for
// current data or by a blocked order, a failure inside a read, and answers on a delayed connection.
#include <gtest/gtest.h>

#include <condition_variable>
#include <stdexcept>
#include <thread>

#include "engine/AsyncReadRaw.h"
#include "engine/EngineTestSupport.h"
#include "links/LinkExceptions.h"
#include "platform/com/ComObject.h"
#include "platform/com/opc/OpcDa.h"
#include "platform/com/opc/OpcHda.h"
#include "platform/com/opc/OpcSinks.h"
#include "support/TimeZone.h"

namespace orvela::test {
namespace {

const int kOwner = 0;
const TTaskOwner owner = &kOwner;

TTaskTime Time(TDateTime local) {
  TTaskTime t;
  t.Time = LocalDateTimeToFileTime(local);
  return t;
}

class TGate {
 public:
  void Open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock lock(mutex_);
    waiting_ = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return open_; });
  }
  // Until someone waits at the gate.
  void AwaitWaiter() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return waiting_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
  bool waiting_ = false;
};

// What the links of a test do. The device never answers: every exchange fails as a silent line does.
struct TLinkScript {
  bool connects = true;
  TGate* gate = nullptr;         // Connect waits until it opens
  bool unexpectedFault = false;  // sending raises an error no link raises, as a faulty driver might
  std::atomic<int> attempts{0};
};

class TScriptedLink final : public TConnectionDevice {
 public:
  explicit TScriptedLink(TLinkScript& script) : script_(script) {}
  bool Connect() override {
    if (script_.gate) script_.gate->Wait();
    ++script_.attempts;
    return script_.connects;
  }
  void Send(std::span<const uint8_t>) override {
    if (script_.unexpectedFault) throw std::logic_error("сбой драйвера");
    throw EWriteExcept("нет линии");
  }
  uint8_t ReadByte() override { throw EReadExcept("нет ответа"); }

 private:
  TLinkScript& script_;
};

// The answers clients got, in the order they got them.
class TEvents {
 public:
  void Add(const std::string& event) {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
  }
  std::vector<std::string> Get() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

class THdaReadSink final : public TOpcHdaDataSink {
 public:
  explicit THdaReadSink(TEvents& events) : events_(events) {}
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, HRESULT, DWORD count, OPCHDA_ITEM* items, HRESULT*) override {
    for (DWORD i = 0; i < count; ++i) events_.Add("HDA " + std::to_string(items[i].hClient));
    return S_OK;
  }

 private:
  TEvents& events_;
};

class TDaReadSink final : public TOpcDataSink {
 public:
  explicit TDaReadSink(TEvents& events) : events_(events) {}
  HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD tx, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*,
                                           WORD*, FILETIME*, HRESULT*) override {
    events_.Add("DA " + std::to_string(tx));
    return S_OK;
  }

 private:
  TEvents& events_;
};

class ReaderRunTest : public ::testing::Test {
 protected:
  ReaderRunTest() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    settings = TSettings::Defaults();
    settings.ReaderThreads = 2;
    settings.JournalEveryRequest = false;
    settings.ChannelLog = false;
    key = MakeKey("Котельная", TConnKind::TcpClient);
    key.ProtType = static_cast<uint8_t>(TProtKind::XModem);
    readers.Attach(engine);
    engine.SetQueueThreadEnabled(false);
  }
  ~ReaderRunTest() override {
    while (engine.Users() > 0) engine.FinalAsync();
    CoUninitialize();
  }

  TTestTree::TDevice& Device() {
    auto& d = t.Add("ТАРВЕЛ", key, "00000001");
    for (int i = 0; i < 2; ++i) {
      d.params[i]->ClientHandle = 101 + i;
      d.grouped[i]->ClientHandle = 201 + i;
    }
    return d;
  }
  void Start() {
    engine.SetSettings(settings);
    engine.InitAsync();
  }
  // Runs queue cycles until done() holds (false when it never does).
  template <class Done>
  bool Serve(Done done) {
    for (int i = 0; i < 5000; ++i) {
      engine.QueueCycle();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }
  std::vector<std::unique_ptr<TResultsDA>> ReadDa(std::vector<int32_t> handles) {
    const int32_t tx = engine.AllocTransaction();
    EXPECT_TRUE(engine.DARead(owner, 5, true, nullptr, handles, tx, 77));
    std::vector<std::unique_ptr<TResultsDA>> results;
    Serve([&] {
      while (auto r = engine.TakeDaResult(tx)) results.push_back(std::move(r));
      return results.size() == handles.size();
    });
    engine.SetTransactionState(tx, 0);
    return results;
  }
  bool Idle() {
    return Serve([&] { return engine.ActiveReaders() == 0 && engine.Order(0).Pending().empty(); });
  }

  TUtcManualClock clock{EncodeDateTime(2026, 3, 10, 12, 0, 0)};
  TLinkScript script;
  TTestTree t;
  TRecordingLogs logs;
  IEngineHost host;
  TSettings settings;
  TConnKey key;
  TAsyncReaders readers{nullptr, [this](const TConnKey&, IConnectionCatalog*) {
                          return std::make_unique<TScriptedLink>(script);
                        }};
  TAsyncEngine engine{t.tree, readers, logs, clock, host};
  TEvents events;
};

// A reader busy with two archive items is interrupted after the first: by a current-data read waiting
// ("Приоритет текущих данных"), or by the operator blocking the order. The second archive item is answered
// by a later run, after the current data.
TEST_F(ReaderRunTest, ArchiveItemsLeftByAnInterruptedRunAreServedByTheNextOne) {
  struct TCase {
    const char* name;
    bool block;
    std::vector<std::string> answers;
  } cases[] = {
      {"current data first", false, {"HDA 101", "DA 33", "HDA 102"}},
      {"order blocked", true, {"HDA 101", "HDA 102"}},
  };
  settings.CurrentDataFirst = true;
  settings.CurrentDataMaxDelaySec = 0;
  auto& d = Device();
  Start();
  TConnOrder& order = engine.Order(0);
  auto hda = Make<THdaReadSink>(events);
  auto da = Make<TDaReadSink>(events);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = events.Get().size();
    TGate gate;
    script.gate = &gate;
    const int32_t archive[] = {d.params[0]->Handle, d.params[1]->Handle};
    ASSERT_EQ(engine.HDARead(owner, 7, Time(clock.Now() - 1), Time(clock.Now()), false, hda.Get()->Identity(),
                             1, archive, 0),
              0);
    engine.QueueCycle();  // the reader starts and waits in its connection attempt for the first item
    ASSERT_EQ(engine.ActiveReaders(), 1);
    gate.AwaitWaiter();
    if (c.block) {
      order.Enabled = 0;
    } else {
      const int32_t current[] = {d.params[0]->Handle};
      ASSERT_TRUE(engine.DARead(owner, 5, false, da.Get()->Identity(), current, 2, 33));
      engine.QueueCycle();
      EXPECT_TRUE(order.DAWaiting);
    }
    gate.Open();
    if (c.block) {
      ASSERT_TRUE(Serve([&] { return engine.ActiveReaders() == 0; }));
      engine.QueueCycle();  // clears away the answered task
      EXPECT_EQ(events.Get().size(), before + 1);
      EXPECT_EQ(order.Pending().size(), 1u);  // the blocked order keeps its task
      order.Enabled = 1;
    }
    ASSERT_TRUE(Serve([&] { return events.Get().size() == before + c.answers.size(); }));
    ASSERT_TRUE(Idle());
    const auto all = events.Get();
    EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()),
              c.answers);
    EXPECT_FALSE(order.DAWaiting);
    EXPECT_EQ(order.HdaReadCount + order.DaReadCount, 0);
    script.gate = nullptr;
  }
}

TEST_F(ReaderRunTest, AFailureInsideTheReadIsJournalledAndEveryItemStillAnswered) {
  script.unexpectedFault = true;
  auto& d = Device();
  Start();
  // A group of two parameters and a single one: the group's failure leaves no sub-item behind.
  auto results = ReadDa({d.grouped[0]->Handle, d.grouped[1]->Handle, d.params[0]->Handle});
  ASSERT_EQ(results.size(), 3u);
  for (const auto& r : results) {
    ASSERT_EQ(r->Count(), 1u);
    EXPECT_EQ(r->Qualities[0], kQualityNotConnected);
    EXPECT_EQ(r->Values[0], TVariant());
  }
  EXPECT_GE(logs.JournalCount("сбой драйвера"), 1);
  EXPECT_TRUE(Idle());  // no task is left handed out
  EXPECT_EQ(engine.Order(0).DaReadCount, 0);
}

// A failed connection delays polling; clients' reads meanwhile are answered at once, without a connection
// attempt, with quality "not connected" and a UTC time stamp, and journalled once per delay. The two
// instants are the same local time (02:30) on either side of the autumn change in Berlin.
class ReaderDelayTest : public ReaderRunTest, public ::testing::WithParamInterface<TDateTime> {};

TEST_P(ReaderDelayTest, ReadsOnADelayedConnectionAreAnsweredAtOnce) {
  TZoneScope zone("Europe/Berlin");
  clock.SetUtc(GetParam());
  script.connects = false;
  auto& d = Device();
  Start();
  const auto stamp = [&] { return FileTimeToInt64(UtcDateTimeToFileTime(clock.NowUtc())); };
  for (int read = 0; read < 3; ++read) {
    SCOPED_TRACE("read " + std::to_string(read));
    const int64_t before = stamp();
    auto results = ReadDa({d.params[read % 2]->Handle});
    const int64_t after = stamp();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]->Qualities[0], kQualityNotConnected);
    EXPECT_EQ(results[0]->Values[0], TVariant());
    const int64_t at = FileTimeToInt64(results[0]->TimeStamps[0]);
    EXPECT_TRUE(before <= at && at <= after) << at - before;
    ASSERT_TRUE(Idle());
    EXPECT_TRUE(engine.Order(0).DelayedAt(clock.NowUtc()));
  }
  EXPECT_EQ(script.attempts, 1);
  EXPECT_EQ(logs.JournalCount("Соединение отложено до"), 1);

  // An archive read too: no records, marked as not read.
  const int32_t archive[] = {d.params[0]->Handle};
  const int32_t tx = engine.AllocTransaction();
  ASSERT_EQ(engine.HDARead(owner, 3, Time(clock.Now() - 1), Time(clock.Now()), true, nullptr, tx, archive, 0), 0);
  std::unique_ptr<TResultsHDA> result;
  ASSERT_TRUE(Serve([&] { return (result = engine.TakeHdaResult(tx)) != nullptr; }));
  EXPECT_TRUE(result->Records.empty());
  EXPECT_EQ(result->Error, E_FAIL);
  EXPECT_EQ(script.attempts, 1);
}

INSTANTIATE_TEST_SUITE_P(AutumnChange, ReaderDelayTest,
                         ::testing::Values(EncodeDateTime(2026, 10, 25, 0, 30, 0),    // 02:30 CEST
                                           EncodeDateTime(2026, 10, 25, 1, 30, 0)));  // 02:30 CET

}  // namespace
}  // namespace orvela::test
