#pragma once
// The server settings record (tParam.dat, 396 bytes) and the program/project folder rules.
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "platform/DateTime.h"

namespace orvela {

struct TSettings {
  static constexpr size_t kSize = 396;
  static constexpr size_t kFolderWidth = 120;

  uint16_t ClockCheckMinutes = 0;  // 0  "Период проверки времени прибора (мин)"
  uint16_t ChangeDateMinutes = 0;        // 2  "Период чтения даты изменения(мин)"
  uint16_t AllowedClockDiffMinutes = 0;  // 4  "Допустимое время расхождения (мин)"
  uint16_t QueuePauseMs = 0;             // 6  "Пауза очереди (мсек)"
  uint16_t StartPauseMs = 0;             // 8  "Пауза перед началом (мсек)"
  bool ClearJournalAtStart = false;      // 81 "Очищать лог при входе"
  bool TimeCorrectionMode = false;       // 82 "Режим коррекции времени"
  uint8_t ReadMark = 0;                  // 83 set to 1 whenever the file is read
  int32_t ReaderThreads = 0;             // 84 "Количество потоков чтения"
  bool CurrentDataFirst = false;         // 88 "Приоритет текущих данных"
  uint16_t CurrentDataMaxDelaySec = 0;  // 90 "Задержка текущих данных (max)"
  bool ChannelLog = false;              // 92 "Вести лог канала"
  int32_t TarvelMRequestMode = 0;       // 96 0 by records, 1 by parameters
  bool JournalEveryRequest = false;     // 100 "Вести журнал"
  uint8_t OrlixRequestMode = 0;         // 101 0 by dates, 1 by indexes
  bool SubscriptionSchedule = false;    // 102 "Расписание подписки"
  double ScheduleStart = 0;             // 104 "Начало", time of day
  double ScheduleEnd = 0;               // 112 "Конец", time of day
  bool RequestDayOn = false;            // 120 "День запроса"
  int32_t RequestDay = 0;               // 124 "День месяца"
  bool RerequestOnWrongDate = false;    // 128 "Перезапрос при неправильной дате"
  bool ModemJournal = false;            // 129 "Журнал для модема"
  std::string ProjectFolder;  // 130 "Папака располопжения проекта" (UTF-8 in memory)
  std::string ConnectionFile;      // 251 "Файл соединений"
  int32_t TcpPort = 0;             // 372 "Порт TCP"
  int32_t TarvelMTreeLayout = 0;   // 376 0 archives on top, 1 systems on top
  uint8_t ChecksumMode = 0;        // 380 set to 1 whenever the file is read
  int32_t RequestPauseMs = 0;      // 384 "Пауза перед запросом (мсек)"
  bool SplitOrlixPackets = false;  // 388 "Разбивать пакеты Орликса"
  int32_t GprsWaitMinutes = 0;     // 392 "Время ожид. GPRS подключения (мин)"

  // In memory only: "Заменять приборы при дублировании".
  bool ReplaceDuplicates = false;

  // The record as it was read (a short file padded with zeros). The bytes no field holds, and the tail
  // of a text field whose text is unchanged, are written back as they were: a file read and saved
  // unchanged keeps every byte.
  std::optional<std::array<uint8_t, kSize>> Stored;

  // The settings window's defaults, used when tParam.dat is missing.
  static TSettings Defaults();
};

std::array<uint8_t, TSettings::kSize> EncodeSettings(const TSettings& s);
// Throws EFormatError when fewer than 396 bytes are given.
TSettings DecodeSettings(std::span<const uint8_t> bytes);
// A record cut short: the bytes there are, the rest zero, as reading the file into a zeroed record
// leaves it. Bytes beyond the record are not looked at.
TSettings DecodeSettingsPrefix(std::span<const uint8_t> bytes);

}  // namespace orvela
