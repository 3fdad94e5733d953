#include "tree/StartUp.h"

namespace orvela {

std::vector<std::string> TStartResult::StatusLines() const {
  std::vector<std::string> lines;
  if (!StatusText.empty()) lines.push_back(StatusText);
  if (!DeviceCountText.empty()) lines.push_back(DeviceCountText);
  return lines;
}

TStartResult RunConfigurationStart(TConfigController& controller) {
  TStartResult result;
  auto settingsProblem = controller.LoadSettings();
  auto connectionsProblem = controller.LoadConnections();
  auto treeProblem = controller.LoadTree();
  result.SettingsLoaded = !settingsProblem;
  result.ConnectionsLoaded = !connectionsProblem;
  result.TreeLoaded = !treeProblem;
  for (auto* problem : {&settingsProblem, &connectionsProblem, &treeProblem})
    if (*problem) result.Problems.push_back(std::move(**problem));
  result.Notices = controller.Notices();

  if (!result.TreeLoaded) {
    result.FailureMessage = kStartFailedMessage;
    return result;
  }
  result.DeviceCount = controller.DeviceCount();
  if (!result.ConnectionsLoaded) {
    result.StatusText = kStatusConnectionsFailed;
  } else if (!result.SettingsLoaded) {
    result.StatusText = kStatusSettingsFailed;
  } else {
    result.StatusText = kStatusLoaded;
    result.DeviceCountText = kDeviceCountPrefix + std::to_string(result.DeviceCount);
  }
  return result;
}

}  // namespace orvela
