#include "links/ModemCommPort.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

#include "links/PortMap.h"
#include "platform/JournalSink.h"

namespace orvela {
namespace {

constexpr int kAnswerDigitPolls = 200;
constexpr int kExtendedErrorPolls = 20;
constexpr size_t kMaxAnswerBytes = 200;
constexpr size_t kMaxNumber = 20;

// Numeric answers that end a dial attempt at once, with their event texts around the number.
struct TDialFailure {
  int code;
  const char* before;
  const char* after;
  const char* logBefore;  // the log's own wording where it differs
};
constexpr std::array<TDialFailure, 3> kDialFailures = {{
    {3, "При дозвоне на ", " произошел сбой сигнала", nullptr},
    {7, "Номер ", "занят", nullptr},
    {4, "Ошибка при наборе номера ", "", "Ошибка при наборе номера (4) "},
}};

// Numeric codes that are no CONNECT: OK, RING, NO CARRIER, ERROR, NO DIALTONE, BUSY, NO ANSWER; and -1,
// an answer nobody could read.
constexpr std::array<int, 8> kNotConnect = {-1, 0, 2, 3, 4, 6, 7, 8};

// What a modem sends when the carrier drops during a call, in numeric and in verbose form.
constexpr std::string_view kNoCarrierNumeric = "3\r";
constexpr std::string_view kNoCarrierVerbose = "\r\nNO CARRIER\r\n";

bool SameText(std::string_view a, std::string_view b) {
  auto trim = [](std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
  };
  return SameNameIgnoringCase(trim(a), trim(b));
}

// Digits and the dial modifiers; anything else (a CR above all) would smuggle commands to the modem.
bool DialableNumber(std::string_view number) {
  if (number.empty() || number.size() > kMaxNumber) return false;
  return std::all_of(number.begin(), number.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) ||
           std::string_view("*#,WwPpTt!@+-() ").find(c) != std::string_view::npos;
  });
}

// The hang-up command proper: the escape is sent on its own, between guard times.
std::string HangupCommandOf(const std::string& stored) {
  std::string command = stored;
  while (command.starts_with("+")) command.erase(0, 1);
  return command.empty() ? "ATH0" : command;
}

// Verbose answers and their numeric codes; a modem an initialisation string left verbose is understood too.
struct TVerboseAnswer {
  std::string_view text;
  int code;
};
constexpr std::array<TVerboseAnswer, 8> kVerboseAnswers = {{{"OK", 0},
                                                            {"CONNECT", 1},
                                                            {"RING", 2},
                                                            {"NO CARRIER", 3},
                                                            {"ERROR", 4},
                                                            {"NO DIALTONE", 6},
                                                            {"BUSY", 7},
                                                            {"NO ANSWER", 8}}};

}  // namespace

// The code of one answer line: digits, or a verbose answer; nullopt for the echo of a command line, -1
// for anything else.
std::optional<int> AnswerCode(std::string_view line) {
  if (line.size() >= 2 && (line.starts_with("AT") || line.starts_with("at"))) return std::nullopt;
  if (!line.empty() && line.size() <= 4 && std::all_of(line.begin(), line.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
      }))
    return std::stoi(std::string(line));
  for (const TVerboseAnswer& a : kVerboseAnswers)
    if (line.starts_with(a.text)) return a.code;
  return -1;
}

namespace {

std::string Hex2(int value) {
  return HexByte(static_cast<uint8_t>(value & 0xFF));
}

}  // namespace

TModemCommPort::TModemCommPort(TConnSettings* settings, Clock& clock, TCommBackend& backend)
    : TCommPort(settings, clock, backend) {
  comm_.SetRTSProp(true);
  comm_.SetDTRProp(true);
  comm_.SetDatabits(TDatabits::db8);
  comm_.SetStopbits(TStopbits::sb1_0);
  comm_.SetParity(TParity::pNone);
  if (settings != nullptr) {
    hangupCommand_ = HangupCommandOf(settings->Hangup);
    init_ = settings->ModemInit;
    preambule_.DialPrefix = settings->ModemMode != 0 ? "ATDT" : "ATDP";
  } else {
    init_ = "AT&D3";
    hangupCommand_ = HangupCommandOf("+++");
    preambule_.DialPrefix = "ATDT";
  }
}

TModemCommPort::~TModemCommPort() {
  try {
    if (called_) HangupAndClose();
  } catch (const std::exception&) {
    // the port closes below in any case, which drops DTR
  }
  online_ = false;
  ClosePort();
}

bool TModemCommPort::SetAddress(const std::string& address) {
  size_t colon = address.find(':');
  std::string port = address.substr(0, colon);
  std::string number = colon == std::string::npos ? std::string() : address.substr(colon + 1);
  bool portUsable = PortNameProblem(port).empty() || port.starts_with("/");
  if (!portUsable || !DialableNumber(number)) return false;
  bool wasOpen = comm_.Connected();
  std::string oldPort = portName_;
  if (wasOpen && !SameText(port, oldPort)) {
    if (called_) HangupAndClose();
    ClosePort();
  }
  portName_ = port;
  try {
    OpenPort();
  } catch (const std::exception& e) {
    LogLine(port + ": " + e.what());
    portName_ = oldPort;
    if (wasOpen) {
      try {
        OpenPort();
      } catch (const std::exception&) {
      }
    }
    return false;
  }
  address_ = address;
  preambule_.Kind = 4;
  preambule_.Flags = 1;
  preambule_.PortName = port;
  preambule_.Number = number;
  return true;
}

bool TModemCommPort::CarrierUp() {
  if (!comm_.Connected() || comm_.HungUp()) return false;
  if (std::optional<bool> line = comm_.ModemLineState(kLineRlsd)) return *line;
  return answerCarrier_;
}

bool TModemCommPort::Connect() {
  if (cancelled_) return false;
  try {
    if (!comm_.Connected() || comm_.HungUp()) {
      ClosePort();
      LogLine("Модем: открытие порта");
      OpenPort();
    }
    preambule_.Init = init_;
    preambule_.BaudRate = comm_.BaudRate();
    if (carrier_ && online_ && CarrierUp()) return connected_ = true;
    comm_.LinesUp(true);
    if (Dial() != 1) {
      ClosePort();
      return false;
    }
    connected_ = true;
    return true;
  } catch (const std::exception& e) {
    LogLine(std::string("Модем: ") + e.what());
    return false;
  }
}

void TModemCommPort::Event(const std::string& text, bool timeStamped) {
  eventText_ = text;
  eventNumber_ = preambule_.Number;
  std::string number = eventNumber_;
  RunInOwner(owner_, [&] { JournalLine(text, number); });
  LogLine(timeStamped ? " - " + text : text);
}

void TModemCommPort::Command(const std::string& text) {
  std::string line = text + "\r\n";
  Send(std::span(reinterpret_cast<const uint8_t*>(line.data()), line.size()));
}

std::optional<int> ReadModemAnswer(TCommPort& port, int polls) {
  std::string text;
  int wait = polls;
  for (size_t n = 0; n < kMaxAnswerBytes && port.WaitData(wait); ++n) {
    uint8_t byte = port.TCommPort::ReadByte();
    wait = kAnswerDigitPolls;
    if (byte != '\r' && byte != '\n') {
      text += static_cast<char>(byte);
      continue;
    }
    if (text.empty()) continue;  // a verbose answer's CR LF around it
    if (std::optional<int> code = AnswerCode(text)) return code;
    text.clear();  // the echo of a command: an initialisation string may have turned echo back on
  }
  // An echo alone is no answer.
  return text.empty() ? std::nullopt : std::optional<int>(AnswerCode(text).value_or(-1));
}

std::optional<int> TModemCommPort::ReadAnswerCode(int polls) {
  return ReadModemAnswer(*this, polls);
}

std::optional<int> TModemCommPort::AnswerAmidData(int polls) {
  // The far end's bytes keep coming until the modem leaves data mode: only "0" CR is the modem's OK.
  int64_t deadline = clock_.TickMs() + static_cast<int64_t>(polls) * kPollMs;
  std::optional<int> seen;
  std::string tail;
  for (int64_t left = polls; left > 0; left = (deadline - clock_.TickMs()) / kPollMs) {
    if (!WaitData(static_cast<int>(left))) break;
    tail += static_cast<char>(TCommPort::ReadByte());
    if (tail.size() > 3) tail.erase(0, 1);
    // Numeric or verbose, whichever the modem was left in.
    if (tail.ends_with("0\r") || tail.ends_with("OK\r")) return 0;
    seen = -1;
  }
  return seen;
}

int TModemCommPort::ExpectOk(const std::string& text, bool amidData) {
  std::optional<int> code = amidData ? AnswerAmidData(kAnswerPolls) : ReadAnswerCode(kAnswerPolls);
  const std::string port = "(" + preambule_.PortName + ")";
  if (code == 0) {
    Event(text + port);
    return 1;
  }
  Event(code ? "Не удается настроить модем " + port : "Нет ответа от модема " + port);
  return 0;
}

void TModemCommPort::ModemEchoOff() {
  static constexpr std::string_view kEchoOff = "ATE0\n\r";
  Send(std::span(reinterpret_cast<const uint8_t*>(kEchoOff.data()), kEchoOff.size()));
  clock_.Sleep(100);
  WaitData(1000);
  clock_.Sleep(100);
  PurgeInput();
}

void TModemCommPort::ReadExtendedError() {
  Command("AT+CEER");
  LogLine("Чтение расширенной ошибки");
  std::string text;
  while (text.size() < kMaxAnswerBytes && WaitData(kExtendedErrorPolls)) {
    uint8_t byte = TCommPort::ReadByte();
    if (byte == '\r' || byte == '\n') {
      if (text.empty()) continue;
      break;
    }
    text += static_cast<char>(byte);
  }
  std::string number = preambule_.Number;
  RunInOwner(owner_, [&] { JournalLine(text, number); });
  LogLine("Расширенная ошибка: " + text);
}

void TModemCommPort::CancelDial() {
  // Nothing is connected yet, so there is nothing to escape from: dropping DTR and closing the port stops
  // the modem dialling.
  comm_.SetDTRProp(false);
  ClosePort();
  cancelRequest_ = false;
}

int TModemCommPort::SettleAnswer(int code) {
  for (const TDialFailure& f : kDialFailures) {
    if (f.code != code) continue;
    const std::string& number = preambule_.Number;
    std::string text = f.before + number + f.after;
    eventText_ = text;
    eventNumber_ = number;
    RunInOwner(owner_, [&] { JournalLine(text, number); });
    LogLine(" - " + std::string(f.logBefore ? f.logBefore : f.before) + number + f.after);
    if (code == 3) answerCarrier_ = false;
    ReadExtendedError();
    return kDialFailed;
  }
  if (std::find(kNotConnect.begin(), kNotConnect.end(), code) == kNotConnect.end() && !comm_.HasModemLines())
    answerCarrier_ = true;
  clock_.Sleep(200);
  LogLine("Предположительно мы соединились - проверим состояние сигнала");
  for (int waited = 0; waited < kCarrierCheckMs && !CarrierUp(); waited += 200) clock_.Sleep(200);
  int bits = 0;
  if (comm_.HasModemLines()) {
    for (int line : {kLineCts, kLineDsr, kLineRing, kLineRlsd})
      if (comm_.ModemLine(line)) bits |= 0x08 << line;
  } else if (CarrierUp()) {
    bits = 0x80;
  }
  LogLine("Результат GetCommModemStatus: " + Hex2(bits));
  if (!CarrierUp()) {
    LogLine("Сигнал отсутствует - соединение не установлено.");
    return kDialFailed;
  }
  online_ = true;
  LogLine(" - Соединение с номером " + preambule_.Number + " установлено");
  return kDialConnected;
}

int TModemCommPort::AwaitDialAnswer() {
  for (int idle = 0;;) {
    if (cancelRequest_ || dialRequest_ == 2) {
      CancelDial();
      return kDialCancelled;
    }
    if (CarrierUp()) {
      online_ = true;
      return kDialConnected;
    }
    if (dialRequest_ == 1) return kDialFailed;
    // The answer is read as it comes: a quick BUSY must not be purged away.
    if (WaitData(50)) {
      if (std::optional<int> code = ReadAnswerCode(kAnswerDigitPolls)) return SettleAnswer(*code);
      continue;  // only the echo of the dial command
    }
    if (++idle >= kDialIdleTurns) return kDialFailed;
    clock_.Sleep(500);
  }
}

int TModemCommPort::DialOnce() {
  LogLine(" - Соединение с модемом  посылка номера");
  dialRequest_ = 0;
  clock_.Sleep(1000);
  if (CarrierUp()) return kDialFailed;
  ModemEchoOff();
  Command("ATQ0V0E0");
  if (!ExpectOk("Связь с модемом установлена")) return kDialFailed;
  clock_.Sleep(300);
  Command("AT&D2");
  ExpectOk("Установка положить трубку при DTR записана");
  if (!preambule_.Init.empty()) {
    clock_.Sleep(300);
    Command(preambule_.Init);
    ExpectOk("Строка инициализации записана");
  }
  clock_.Sleep(500);
  comm_.SetDTRProp(true);
  clock_.Sleep(500);
  Event("Дозвон на телефон " + preambule_.Number, false);
  Command(preambule_.DialPrefix + preambule_.Number);
  int result = AwaitDialAnswer();
  clock_.Sleep(100);
  return result;
}

int TModemCommPort::Dial() {
  if ((preambule_.Flags & 1) == 0 || preambule_.Kind == 1) return -1;
  dialling_ = true;
  carrier_ = CarrierUp();
  if (carrier_) {
    // Only this link's own call to the same number is reused: another call on the modem is another site.
    if (called_ && !connectedNumber_.empty() && SameText(connectedNumber_, preambule_.Number)) {
      online_ = true;
      dialling_ = false;
      return 1;
    }
    Hangup();
  }
  int result = -1;
  for (int attempt = 0; attempt < kDialAttempts && comm_.Connected(); ++attempt) {
    LogLine("Попытка дозвона № " + std::to_string(attempt));
    int outcome = DialOnce();
    if (outcome == kDialConnected) {
      called_ = true;
      Event("Соединение установлено: " + preambule_.Number);
      connected_ = true;
      result = 1;
      break;
    }
    if (outcome == kDialCancelled) {
      Event("Отмена дозвона на " + preambule_.Number);
      cancelled_ = true;
      result = -2;
      break;
    }
    Event("Дозвониться не удалось " + preambule_.Number);
  }
  carrier_ = result == 1;
  if (carrier_) connectedNumber_ = preambule_.Number;
  dialling_ = false;
  return result;
}

bool TModemCommPort::Escape() {
  static constexpr std::string_view kEscape = "+++";
  for (int i = 0; i < kEscapeTries; ++i) {
    clock_.Sleep(kEscapeGuardMs);
    Send(std::span(reinterpret_cast<const uint8_t*>(kEscape.data()), kEscape.size()));
    // The answer comes only after the guard time after the escape; ExpectOk waits longer than that.
    if (ExpectOk("Модем переведен в командный режим.", true)) return true;
  }
  return false;
}

void TModemCommPort::Hangup() {
  if (!connected_ && !called_ && !CarrierUp()) return;
  auto done = [this] {
    ForgetCall();
    LogLine("Disconnect: связь разорвана");
  };
  for (int attempt = 0; attempt < kHangupAttempts; ++attempt) {
    LogLine(" - Разрываем соединение. Попытка №" + std::to_string(attempt));
    clock_.Sleep(500);
    if (!CarrierUp()) return done();
    LogLine("Отправляем +++");
    Escape();
    clock_.Sleep(100);
    comm_.SetDTRProp(false);
    comm_.SetRTSProp(false);
    clock_.Sleep(100);
    Command(hangupCommand_);
    if (ReadAnswerCode(kAnswerPolls) == 0 && !comm_.HasModemLines()) answerCarrier_ = false;
    clock_.Sleep(500);
    if (!CarrierUp()) return done();
    LogLine("Disconnect: связь не удалось разорвать " + std::to_string(attempt));
  }
  std::string text = "Не удается разорвать связь с удаленным модемом. Номер " + preambule_.Number;
  RunInOwner(owner_, [&] { JournalLine(text, preambule_.Number); });
  LogLine("Не удается разорвать связь с удаленным модемом");
  ClosePort();
  ForgetCall();
}

void TModemCommPort::ForgetCall() {
  connected_ = false;
  online_ = false;
  called_ = false;
  carrier_ = false;
  answerCarrier_ = false;
  connectedNumber_.clear();
}

void TModemCommPort::HangupAndClose() {
  try {
    OpenPort();
    Hangup();
  } catch (const std::exception&) {
    LogLine("Порт задействован в передаче данных. Отключение в данный момент невозможно.");
  }
  ClosePort();
}

void TModemCommPort::Release() {
  if (!hold_) return;
  try {
    Hangup();
  } catch (const std::exception& e) {
    LogLine(std::string("Модем: ") + e.what());
  }
  ClosePort();
}

void TModemCommPort::LoseCarrier() {
  ForgetCall();
  std::string text = " - [Данные обрыва ";
  std::vector<uint8_t> rest(static_cast<size_t>(std::clamp(comm_.InQueue(), 0, TComm32::kReadBufferSize)));
  int n = rest.empty() ? 0 : comm_.Read(rest.data(), static_cast<int>(rest.size()));
  for (int i = 0; i < n; ++i) text += HexByte(rest[static_cast<size_t>(i)]) + " ";
  LogLine(text + "]");
  std::string number = preambule_.Number;
  RunInOwner(owner_, [&] { JournalLine(kConnectionLostText, number); });
}

bool TModemCommPort::CheckLink() {
  if (online_ && !CarrierUp()) {
    LoseCarrier();
    throw EConnectExcept(kConnectionLostText);
  }
  return true;
}

bool TModemCommPort::AcceptChunk(std::span<const uint8_t> bytes) {
  if (!online_ || comm_.HasModemLines()) return true;
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (text != kNoCarrierNumeric && text != kNoCarrierVerbose) return true;
  answerCarrier_ = false;
  return false;
}

uint8_t TModemCommPort::ReadByte() {
  CheckLink();
  return TCommPort::ReadByte();
}

}  // namespace orvela
