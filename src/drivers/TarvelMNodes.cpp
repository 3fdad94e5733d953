#include "drivers/TarvelMNodes.h"

#include <array>
#include <optional>

#include "drivers/Tarvel2001Nodes.h"

namespace orvela {
namespace {

constexpr uint8_t kAnySubsystem = 0xFF;  // parent column: any of the four subsystems

// clang-format off
constexpr std::array kRows = {
    TTarvelNodeRow{0, tmOperative, "Оперативные данные", "Operate", true, true, 0, 0},
    TTarvelNodeRow{0, tmTimer, "Таймер", "Timer", true, false, 0, 0},
    TTarvelNodeRow{0, tmSubsystem1, "1-я  Подсистема", "SubSystem 1", true, true, 0, 0},
    TTarvelNodeRow{0, tmSubsystem2, "2-я  Подсистема", "SubSystem 2", true, true, 0, 0},
    TTarvelNodeRow{0, tmSubsystem3, "3-я  Подсистема", "SubSystem 3", true, true, 0, 0},
    TTarvelNodeRow{0, tmSubsystem4, "4-я  Подсистема", "SubSystem 4", true, true, 0, 0},
    TTarvelNodeRow{tmOperative, 9, "Мгновенные значения", "Current", true, false, 0, 0},
    TTarvelNodeRow{tmOperative, 26, "Оперативный архив", "Arhive", false, true, 0, 0},
    TTarvelNodeRow{tmTimer, 3, "День недели", "DayofWeek", true, false, 0, VT_I4},
    TTarvelNodeRow{tmTimer, 7, "Включенные/Остановленные подсистемы", "ONOFFSystem", true, false, 0, 0},
    TTarvelNodeRow{tmTimer, 9, "Астрономическое дата и время", "Time", true, false, 0, VT_DATE},
    TTarvelNodeRow{tmTimer, 15, "Состояние прибора", "Mode", true, false, 0, VT_I4},
    TTarvelNodeRow{tmTimer, 17, "Массив дат и времён очистки архивов в подсистемах", "TimeClear", true, false, 0, 0},
    TTarvelNodeRow{tmTimer, 41, "Версия ПО прибора", "Version", true, false, 0, VT_DATE},
    TTarvelNodeRow{tmTimer, 46, "Дата изменения списка праздничных и изменённых дней", "WeekEnd", true, false, 0, VT_DATE},
    TTarvelNodeRow{tmTimer, 57, "Массив дат и времён изменения конфигурации прибора", "Config", true, false, 0, 0},
    TTarvelNodeRow{tmPowerDates, 1, "Даты и время", "Date and Time", false, false, 0, 0},
    TTarvelNodeRow{kAnySubsystem, 9, "Мгновенные значения", "Current", true, false, 0, 0},
    TTarvelNodeRow{kAnySubsystem, 25, "Помесячный интегратор", "Integrator", false, true, kDayStep, 0},
    TTarvelNodeRow{kAnySubsystem, 26, "Почасовой архив", "Hours", false, true, kHourStep, 0},
    TTarvelNodeRow{kAnySubsystem, 27, "Посуточный архив", "Days", false, true, kDayStep, 0},
    TTarvelNodeRow{kAnySubsystem, 28, "Помесячный архив", "Months", false, true, kDayStep, 0},
    TTarvelNodeRow{kAnySubsystem, 90, "Почасовой аварийный архив", "Hours Errors", false, true, kHourStep, 0},
    TTarvelNodeRow{kAnySubsystem, 91, "Посуточный аварийный архив", "Days Errors", false, true, kDayStep, 0},
};
// clang-format on

bool IsSubsystem(uint8_t id) {
  return id == tmSubsystem1 || id == tmSubsystem2 || id == tmSubsystem3 || id == tmSubsystem4;
}

const TTarvelNodeRow* FindRow(uint8_t parent, uint8_t id) {
  for (const TTarvelNodeRow& row : kRows) {
    bool parentMatches = row.parent == parent || (row.parent == kAnySubsystem && IsSubsystem(parent));
    if (parentMatches && row.id == id) return &row;
  }
  return nullptr;
}

// How the parameters below a level-2 branch are shown.
struct TMParameterParent {
  bool da;
  bool hda;
  int dataType;
  int kind;
};
std::optional<TMParameterParent> ParameterParent(uint8_t top, uint8_t branch) {
  if (branch == 9 && (top == tmOperative || IsSubsystem(top)))
    return TMParameterParent{true, false, VT_R4, kDescribeMCurrentParameter};
  if (top == tmOperative && branch == 26) return TMParameterParent{false, true, VT_R4, kDescribeOther};
  if (!IsSubsystem(top)) return std::nullopt;
  if (branch >= 25 && branch <= 28) return TMParameterParent{false, true, VT_R4, kDescribeOther};
  if (branch == 90 || branch == 91)
    return TMParameterParent{false, true, kDataTypeMErrorRecord, kDescribeMErrorParameter};
  return std::nullopt;
}

std::string ParameterName(uint8_t id, bool english) {
  // The M names the normalised gas volume shorter than the 2001.
  if (!english && (id & 0x0F) == 5)
    return "Объем газа прив к норм усл - канал " + std::to_string(id / 16 + 1);
  return TarvelParameterName(id, english);
}

std::string DescribeParameter(uint8_t top, uint8_t branch, uint8_t id, bool english, TNTreeData& node,
                              int& kind) {
  std::optional<TMParameterParent> owner = ParameterParent(top, branch);
  std::string name = ParameterName(id, english);
  if (!owner || name.empty()) return {};
  node.DAVisible = owner->da;
  node.HDAVisible = owner->hda;
  kind = owner->kind;
  if (const TTarvelNodeRow* row = FindRow(top, branch)) node.ArchiveStep = row->step;
  DescribeParameterNode(node, owner->dataType, name, TarvelParameterUnits(id));
  SetAttribute(node, asNodeName, TVariant::OneByteStr(ComputerName()));
  SetAttribute(node, asSourceType, TVariant::OneByteStr("OPC"));
  SetAttribute(node, asItemId, TVariant::OneByteStr(name));
  return name;
}

std::string DescribeBranch(uint8_t parent, uint8_t id, bool english, TNTreeData& node) {
  const TTarvelNodeRow* row = FindRow(parent, id);
  if (row == nullptr) return {};
  node.DAVisible = row->da;
  node.HDAVisible = row->hda;
  node.ArchiveStep = row->step;
  if (row->dataType != 0) SetAttribute(node, asDataType, TVariant::Int(row->dataType));
  return english ? row->en : row->ru;
}

}  // namespace

std::string DescribeTarvelMNode(const TIdPath& path, bool english, TNTreeData& node, int& kind) {
  kind = kDescribeOther;
  node.DAVisible = false;
  node.HDAVisible = false;
  std::string name;
  switch (path.Depth()) {
    case 1:
      name = DescribeBranch(0, path.Id(0), english, node);
      break;
    case 2:
      name = DescribeBranch(path.Id(1), path.Id(0), english, node);
      break;
    case 3:
      name = DescribeParameter(path.Id(2), path.Id(1), path.Id(0), english, node, kind);
      break;
    default:
      break;
  }
  if (name.empty()) kind = kDescribeOther;
  node.Name = name;
  return name;
}

}  // namespace orvela
