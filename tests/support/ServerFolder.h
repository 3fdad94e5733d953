#pragma once
// A program folder holding the demo configuration (its Tarvel 2001 meter on a simulated TCP line), with
// settings that make the engine answer in test time.
#include <cstdint>
#include <filesystem>

namespace orvela::test {

// Item identifiers of the demo meter.
inline constexpr const char* kDemoCurrent = "Устройства.Тарвел-1.Пользовательские данные.Текущие данные.";
inline constexpr const char* kDemoHours = "Устройства.Тарвел-1.Пользовательские данные.Почасовой архив.";

// Writes the demo configuration into folder with the TCP connection at port: short queue and start
// pauses, the line's echo taken as tested, no channel logs. Without the meter, for a configuration read
// from the line to add it.
void WriteServerFolder(const std::filesystem::path& folder, uint16_t port, bool withMeter = true);

}  // namespace orvela::test
