#include "drivers/Tarvel2001Nodes.h"

#include <unistd.h>

#include <array>

#include "platform/Cp1251.h"

namespace orvela {
namespace {

constexpr int32_t kHourStep = 3'600'000;
constexpr int32_t kDayStep = 86'400'000;

struct TNodeRow {
  uint8_t parent;  // id of the parent; 0: the device
  uint8_t id;
  const char* ru;
  const char* en;
  bool da;
  bool hda;
  int32_t step;
  int dataType;  // 0: no attributes
};

// Levels 1 and 2 of the meter's tree.
constexpr std::array kBranchRows = {
    TNodeRow{0, tidData, "Пользовательские данные", "Data", true, true, 0, 0},
    TNodeRow{0, tidTimer, "Таймер", "Timer", true, false, 0, 0},
    TNodeRow{tidData, tidCurrent, "Текущие данные", "Current", true, false, 0, 0},
    TNodeRow{tidData, tidIntegrator, "Помесячный интегратор", "Integrator", false, true, kDayStep, 0},
    TNodeRow{tidData, tidHours, "Почасовой архив", "Hours", false, true, kHourStep, 0},
    TNodeRow{tidData, tidDays, "Посуточный архив", "Days", false, true, kDayStep, 0},
    TNodeRow{tidData, tidMonths, "Помесячный архив", "Months", false, true, kDayStep, 0},
    TNodeRow{tidData, tidHoursErrors, "Почасовой аварийный архив", "Hours Errors", false, true, kHourStep, 0},
    TNodeRow{tidData, tidDaysErrors, "Посуточный аварийный архив", "Days Errors", false, true, kDayStep, 0},
    TNodeRow{tidTimer, tidCurrent, "Астрономическое дата и время", "Date", true, false, kHourStep, VT_DATE},
    TNodeRow{tidTimer, tidStatus, "Состояние прибора", "Status", true, false, kHourStep, VT_I4},
    TNodeRow{tidTimer, tidVersion, "Версия ПО прибора", "Version", true, false, kHourStep, VT_DATE},
    TNodeRow{tidTimer, tidDateConfig, "Дата и время изменения конфигурации прибора", "Date Config", true,
             false, kHourStep, VT_DATE},
};

// Level-2 branches that hold parameters, and how their parameters are shown.
struct TParameterParent {
  uint8_t id;
  bool da;
  bool hda;
  int dataType;
  int kind;
};
constexpr std::array kParameterParents = {
    TParameterParent{tidCurrent, true, false, VT_R4, kDescribeValueParameter},
    TParameterParent{tidIntegrator, false, true, VT_R4, kDescribeOther},
    TParameterParent{tidHours, false, true, VT_R4, kDescribeOther},
    TParameterParent{tidDays, false, true, VT_R4, kDescribeOther},
    TParameterParent{tidMonths, false, true, VT_R4, kDescribeOther},
    TParameterParent{tidHoursErrors, false, true, kDataTypeErrorRecord, kDescribeValueParameter},
    TParameterParent{tidDaysErrors, false, true, kDataTypeErrorRecord, kDescribeValueParameter},
};

struct TQuantity {
  const char* ru;  // the channel number follows unless the quantity has none
  const char* en;
  const char* units;
  bool perChannel;
};
constexpr uint8_t kHoursQuantity = 13;
const TQuantity* FindQuantity(uint8_t low) {
  static constexpr std::array<TQuantity, 8> kChannelQuantities = {{
      {"Количество теплоты - канал ", "Q", "Гкал", true},
      {"Масса - канал ", "G", "т", true},
      {"Давление - канал ", "P", "кг/см2", true},
      {"Температура - канал ", "T", "град С", true},
      {"Объём - канал ", "V", "м3", true},
      {"Объем газа приведенный к нормальным условиям - канал ", "Vc", "м3", true},
      {"Масса вод. пара - канал ", "D", "т", true},
      {"Количество потреблённой электроэнергии - канал ", "C", "кВт*ч", true},
  }};
  static constexpr TQuantity kHours = {"Наработка в часах", "Hours", "час", false};
  if (low < kChannelQuantities.size()) return &kChannelQuantities[low];
  return low == kHoursQuantity ? &kHours : nullptr;
}

std::string DescribeBranch(uint8_t parent, uint8_t id, bool english, TNTreeData& node) {
  for (const TNodeRow& row : kBranchRows) {
    if (row.parent != parent || row.id != id) continue;
    node.DAVisible = row.da;
    node.HDAVisible = row.hda;
    node.ArchiveStep = row.step;
    if (row.dataType != 0) SetAttribute(node, asDataType, TVariant::Int(row.dataType));
    return english ? row.en : row.ru;
  }
  return {};
}

std::string DescribeParameter(uint8_t parent, uint8_t id, bool english, TNTreeData& node, int& kind) {
  const TParameterParent* owner = nullptr;
  for (const TParameterParent& p : kParameterParents)
    if (p.id == parent) owner = &p;
  std::string name = TarvelParameterName(id, english);
  if (owner == nullptr || name.empty()) return {};
  node.DAVisible = owner->da;
  node.HDAVisible = owner->hda;
  kind = owner->kind;
  DescribeParameterNode(node, owner->dataType, name, TarvelParameterUnits(id));
  SetAttribute(node, asNodeName, TVariant::OneByteStr(ComputerName()));
  SetAttribute(node, asSourceType, TVariant::OneByteStr("OPC"));
  SetAttribute(node, asItemId, TVariant::OneByteStr(name));
  return name;
}

}  // namespace

std::string TarvelParameterName(uint8_t id, bool english) {
  const TQuantity* q = FindQuantity(id & 0x0F);
  if (q == nullptr) return {};
  std::string name = english ? q->en : q->ru;
  if (q->perChannel) name += std::to_string(id / 16 + 1);
  return name;
}

std::string TarvelParameterUnits(uint8_t id) {
  const TQuantity* q = FindQuantity(id & 0x0F);
  return q == nullptr ? std::string() : q->units;
}

std::string DescribeTarvel2001Node(const TIdPath& path, bool english, TNTreeData& node, int& kind) {
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
      // Parameters exist only below the user-data branch.
      if (path.Id(2) == tidData) name = DescribeParameter(path.Id(1), path.Id(0), english, node, kind);
      break;
    default:
      break;
  }
  if (name.empty()) kind = kDescribeOther;
  node.Name = name;
  return name;
}

std::string DescribeTarvel2001TreeNode(TNTreeData& node, bool english, int& kind) {
  return DescribeTarvel2001Node(TIdPath::FromNode(&node), english, node, kind);
}

std::string ComputerName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return {};
  return Utf8Prefix(host, 16);
}

}  // namespace orvela
