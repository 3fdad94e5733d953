#include "drivers/Tarvel2001Nodes.h"

#include <unistd.h>

#include <array>
#include <span>

#include "platform/Cp1251.h"

namespace orvela {
namespace {

// The timer's values, the same on every meter of the family.
constexpr std::array kTimerRows = {
    TTarvelNodeRow{tidTimer, tidCurrent, "Астрономическое дата и время", "Date", true, false, kHourStep,
                   VT_DATE},
    TTarvelNodeRow{tidTimer, tidStatus, "Состояние прибора", "Status", true, false, kHourStep, VT_I4},
    TTarvelNodeRow{tidTimer, tidVersion, "Версия ПО прибора", "Version", true, false, kHourStep, VT_DATE},
    TTarvelNodeRow{tidTimer, tidDateConfig, "Дата и время изменения конфигурации прибора", "Date Config",
                   true, false, kHourStep, VT_DATE},
};

// Levels 1 and 2 of the Tarvel 2001's tree (the timer's values come from kTimerRows).
constexpr std::array k2001BranchRows = {
    TTarvelNodeRow{0, tidData, "Пользовательские данные", "Data", true, true, 0, 0},
    TTarvelNodeRow{0, tidTimer, "Таймер", "Timer", true, false, 0, 0},
    TTarvelNodeRow{tidData, tidCurrent, "Текущие данные", "Current", true, false, 0, 0},
    TTarvelNodeRow{tidData, tidIntegrator, "Помесячный интегратор", "Integrator", false, true, kDayStep, 0},
    TTarvelNodeRow{tidData, tidHours, "Почасовой архив", "Hours", false, true, kHourStep, 0},
    TTarvelNodeRow{tidData, tidDays, "Посуточный архив", "Days", false, true, kDayStep, 0},
    TTarvelNodeRow{tidData, tidMonths, "Помесячный архив", "Months", false, true, kDayStep, 0},
    TTarvelNodeRow{tidData, tidHoursErrors, "Почасовой аварийный архив", "Hours Errors", false, true,
                   kHourStep, 0},
    TTarvelNodeRow{tidData, tidDaysErrors, "Посуточный аварийный архив", "Days Errors", false, true, kDayStep,
                   0},
};

// The F meter keeps its error archives under a level-1 branch of their own; it has Russian names only.
constexpr std::array kFBranchRows = {
    TTarvelNodeRow{0, tidData, "Пользовательские данные", "Пользовательские данные", true, true, 0, 0},
    TTarvelNodeRow{0, tidTimer, "Таймер", "Таймер", true, false, 0, 0},
    TTarvelNodeRow{0, tidErrorBranch, "Аварийные архивы", "Аварийные архивы", false, true, 0, 0},
    TTarvelNodeRow{tidData, tidCurrent, "Текущие данные", "Текущие данные", true, false, 0, 0},
    TTarvelNodeRow{tidData, tidIntegrator, "Помесячный интегратор", "Помесячный интегратор", false, true,
                   kDayStep, 0},
    TTarvelNodeRow{tidData, tidHours, "Почасовой архив", "Почасовой архив", false, true, kHourStep, 0},
    TTarvelNodeRow{tidData, tidDays, "Посуточный архив", "Посуточный архив", false, true, kDayStep, 0},
    TTarvelNodeRow{tidData, tidMonths, "Помесячный архив", "Помесячный архив", false, true, kDayStep, 0},
    TTarvelNodeRow{tidErrorBranch, tidHours, "Почасовой аварийный архив", "Почасовой аварийный архив", false,
                   true, kHourStep, 0},
    TTarvelNodeRow{tidErrorBranch, tidDays, "Посуточный аварийный архив", "Посуточный аварийный архив", false,
                   true, kDayStep, 0},
};

// Level-2 branches that hold parameters (by their level-1 branch and id), and how their parameters are
// shown.
struct TParameterParent {
  uint8_t branch;
  uint8_t id;
  bool da;
  bool hda;
  int dataType;
  int kind;
};
constexpr std::array k2001ParameterParents = {
    TParameterParent{tidData, tidCurrent, true, false, VT_R4, kDescribeValueParameter},
    TParameterParent{tidData, tidIntegrator, false, true, VT_R4, kDescribeOther},
    TParameterParent{tidData, tidHours, false, true, VT_R4, kDescribeOther},
    TParameterParent{tidData, tidDays, false, true, VT_R4, kDescribeOther},
    TParameterParent{tidData, tidMonths, false, true, VT_R4, kDescribeOther},
    TParameterParent{tidData, tidHoursErrors, false, true, kDataTypeErrorRecord, kDescribeValueParameter},
    TParameterParent{tidData, tidDaysErrors, false, true, kDataTypeErrorRecord, kDescribeValueParameter},
};
constexpr std::array kFParameterParents = {
    TParameterParent{tidData, tidCurrent, true, false, VT_R4, kDescribeValueParameter},
    TParameterParent{tidData, tidIntegrator, false, true, VT_R4, kDescribeOther},
    TParameterParent{tidData, tidHours, false, true, VT_R4, kDescribeOther},
    TParameterParent{tidData, tidDays, false, true, VT_R4, kDescribeOther},
    TParameterParent{tidData, tidMonths, false, true, VT_R4, kDescribeOther},
    TParameterParent{tidErrorBranch, tidHours, false, true, kDataTypeErrorRecord, kDescribeValueParameter},
    TParameterParent{tidErrorBranch, tidDays, false, true, kDataTypeErrorRecord, kDescribeValueParameter},
};

// The id tables of one meter model.
struct TNodeTables {
  std::span<const TTarvelNodeRow> branches;
  std::span<const TParameterParent> parameterParents;
  bool parametersTakeStep;  // a parameter has its archive's step
};
constexpr TNodeTables k2001Tables{k2001BranchRows, k2001ParameterParents, false};
constexpr TNodeTables kFTables{kFBranchRows, kFParameterParents, true};

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

std::string DescribeBranch(const TNodeTables& tables, uint8_t parent, uint8_t id, bool english,
                           TNTreeData& node) {
  for (std::span<const TTarvelNodeRow> rows : {tables.branches, std::span<const TTarvelNodeRow>(kTimerRows)})
    for (const TTarvelNodeRow& row : rows) {
      if (row.parent != parent || row.id != id) continue;
      node.DAVisible = row.da;
      node.HDAVisible = row.hda;
      node.ArchiveStep = row.step;
      if (row.dataType != 0) SetAttribute(node, asDataType, TVariant::Int(row.dataType));
      return english ? row.en : row.ru;
    }
  return {};
}

std::string DescribeParameter(const TNodeTables& tables, uint8_t branch, uint8_t parent, uint8_t id,
                              bool english, TNTreeData& node, int& kind) {
  const TParameterParent* owner = nullptr;
  for (const TParameterParent& p : tables.parameterParents)
    if (p.branch == branch && p.id == parent) owner = &p;
  std::string name = TarvelParameterName(id, english);
  if (owner == nullptr || name.empty()) return {};
  node.DAVisible = owner->da;
  node.HDAVisible = owner->hda;
  kind = owner->kind;
  if (tables.parametersTakeStep)
    for (const TTarvelNodeRow& row : tables.branches)
      if (row.parent == branch && row.id == parent) node.ArchiveStep = row.step;
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

namespace {

std::string DescribeNodeFrom(const TNodeTables& tables, const TIdPath& path, bool english, TNTreeData& node,
                             int& kind) {
  kind = kDescribeOther;
  node.DAVisible = false;
  node.HDAVisible = false;
  std::string name;
  switch (path.Depth()) {
    case 1:
      name = DescribeBranch(tables, 0, path.Id(0), english, node);
      break;
    case 2:
      name = DescribeBranch(tables, path.Id(1), path.Id(0), english, node);
      break;
    case 3:
      name = DescribeParameter(tables, path.Id(2), path.Id(1), path.Id(0), english, node, kind);
      break;
    default:
      break;
  }
  if (name.empty()) kind = kDescribeOther;
  node.Name = name;
  return name;
}

}  // namespace

std::string DescribeTarvel2001Node(const TIdPath& path, bool english, TNTreeData& node, int& kind) {
  return DescribeNodeFrom(k2001Tables, path, english, node, kind);
}

std::string DescribeTarvelFNode(const TIdPath& path, TNTreeData& node, int& kind) {
  return DescribeNodeFrom(kFTables, path, false, node, kind);
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
