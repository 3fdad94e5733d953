#include "links/GsmWakeUp.h"

#include <array>
#include <optional>

#include "links/ModemCommPort.h"

namespace orvela {
namespace {

constexpr int kSetupPolls = 100;
constexpr int kAnswerPolls = 50;
constexpr int kOpenTries = 3;

// What each answer to the voice call means. A GSM modem answers OK as soon as the call is placed, and
// its final answer when the call ends: the field modem rejected or hung up on the ring (woken), or the
// call never reached it (ERROR, NO DIALTONE, NO ANSWER and unreadable answers).
enum class TAnswerMeaning { Placed, Woken, Failed, Ignored };
struct TWakeAnswer {
  int code;
  TAnswerMeaning meaning;
  const char* before;  // event text around the number
  const char* after;
};
constexpr std::array<TWakeAnswer, 8> kWakeAnswers = {{
    {0, TAnswerMeaning::Placed, "Вызов номера ", " набран"},
    {1, TAnswerMeaning::Woken, "Номер ", " ответил на вызов"},
    {2, TAnswerMeaning::Ignored, "", ""},  // RING: a call coming in to the GSM modem itself
    {3, TAnswerMeaning::Woken, "Ожидание ответа от ", " закончено"},
    {4, TAnswerMeaning::Failed, "Ошибка при вызове номера ", ""},
    {6, TAnswerMeaning::Failed, "Нет сети при вызове номера ", ""},
    {7, TAnswerMeaning::Woken, "Номер ", " занят"},
    {8, TAnswerMeaning::Failed, "Номер ", " не ответил"},
}};

const TWakeAnswer* FindAnswer(int code) {
  for (const TWakeAnswer& a : kWakeAnswers)
    if (a.code == code) return &a;
  return nullptr;
}

}  // namespace

bool TGsmPort::Open() {
  for (int attempt = 0; attempt < kOpenTries; ++attempt) {
    LogLine(" - Открытие порта");
    try {
      OpenPort();
      comm_.LinesUp(true);
      return true;
    } catch (const std::exception& e) {
      LogLine(" - Ошибка открытия порта: " + std::string(e.what()));
      clock_.Sleep(1000);
    }
  }
  return false;
}

void TWakeUpCall::Command(const std::string& text) {
  std::string line = text + "\r\n";
  port.Send(std::span(reinterpret_cast<const uint8_t*>(line.data()), line.size()));
}

int TWakeUpCall::AwaitAnswer() {
  for (int idle = 0; idle < kIdleTurns;) {
    if (stopping()) return kWakeUpCancelled;
    if (!port.WaitData(kAnswerPolls)) {
      ++idle;
      clock.Sleep(500);
      continue;
    }
    std::optional<int> code = ReadModemAnswer(port, kAnswerPolls);
    if (!code) continue;  // the echo of the dial command
    const TWakeAnswer* answer = FindAnswer(*code);
    TAnswerMeaning meaning = answer ? answer->meaning : TAnswerMeaning::Failed;
    std::string text = answer ? answer->before + number + answer->after
                              : "Ответ от модема " + std::to_string(*code) + " на вызов " + number;
    if (meaning == TAnswerMeaning::Ignored) continue;
    log(" - " + text);
    if (meaning == TAnswerMeaning::Placed) continue;  // the call rings on: wait for how it ends
    event(text);
    return meaning == TAnswerMeaning::Woken ? kWakeUpWoken : kWakeUpFailed;
  }
  log(" - Нет ответа модема на вызов " + number);
  return kWakeUpNoAnswer;
}

int TWakeUpCall::CallOnce() {
  log(" - Соединение с модемом  посылка номера");
  static constexpr std::string_view kEchoOff = "ATE0\n\r";
  port.Send(std::span(reinterpret_cast<const uint8_t*>(kEchoOff.data()), kEchoOff.size()));
  clock.Sleep(100);
  port.WaitData(10);
  port.PurgeInput();
  clock.Sleep(500);
  Command("ATQ0V0E0X4");
  if (ReadModemAnswer(port, kSetupPolls) != 0) {
    event("Нет ответа от модема (" + port.PortName() + ")");
    return kWakeUpFailed;
  }
  log(" - Связь с модемом установлена(" + port.PortName() + ")");
  clock.Sleep(1000);
  event("Дозвон на телефон " + number);
  port.PurgeInput();
  Command(dialPrefix + number + ";");  // a voice call
  int result = AwaitAnswer();
  if (result != kWakeUpCancelled) {
    Command("ATH0");
    clock.Sleep(100);
  }
  return result;
}

int TWakeUpCall::Call() {
  log(" - Начало дозвона " + number);
  int result = kWakeUpFailed;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    int once = CallOnce();
    if (once == kWakeUpWoken) {
      event("Номер занят; ждем соединения " + number);
      result = kWakeUpWoken;
      break;
    }
    if (once == kWakeUpCancelled || stopping()) {
      event("Отмена дозвона на " + number);
      result = kWakeUpCancelled;
      break;
    }
    event("Дозвониться не удалось " + number);
  }
  try {
    Command("ATH0");
  } catch (const std::exception&) {
    // the port closes after the call in any case
  }
  return result;
}

}  // namespace orvela
