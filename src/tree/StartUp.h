#pragma once
// The configuration part of start-up: settings, connections, tree, and the status texts that follow.
// It returns what happened instead of showing it, so the shell, the operator window and the journal can
// each present it their way.
#include <string>
#include <vector>

#include "tree/ConfigController.h"

namespace orvela {

constexpr const char* kStatusLoaded = "Состояние : Конфигурация загружена ";
constexpr const char* kStatusSettingsFailed = "Состояние : Ошибка при загрузке параметров";
constexpr const char* kStatusConnectionsFailed = "Состояние : Ошибка при загрузке соединений";
constexpr const char* kDeviceCountPrefix = "Приборов: ";
// A tree that cannot be read ends the start-up sequence with this message.
constexpr const char* kStartFailedMessage = "Ошибка Main";

struct TStartResult {
  bool SettingsLoaded = false;
  bool ConnectionsLoaded = false;
  bool TreeLoaded = false;
  size_t DeviceCount = 0;
  // Status bar: the state text, and "Приборов: N" when the whole configuration loaded. Both are empty
  // when the tree could not be read.
  std::string StatusText;
  std::string DeviceCountText;
  // kStartFailedMessage when the start-up stopped at the tree.
  std::string FailureMessage;
  // Every file that was missing, damaged or unreadable.
  TConfigProblems Problems;
  // Where the configuration was read from when it was not where the settings said (TConfigController::
  // Notices); the journal and the status show each once.
  std::vector<std::string> Notices;

  bool Completed() const { return FailureMessage.empty(); }
  // The status texts in the order the status bar shows them.
  std::vector<std::string> StatusLines() const;
};

// LoadSettings, LoadConnections, LoadTree.
TStartResult RunConfigurationStart(TConfigController& controller);

}  // namespace orvela
