#include "tree/DemoConfig.h"

#include <initializer_list>
#include <string>

namespace orvela {
namespace {

TConnRow MakeRow(const TConnKey& shape, int32_t baudRate) {
  TConnSettings settings = TConnSettings::Defaults();
  settings.Key = shape;
  settings.Key.LinkAddress = BuildLinkAddress(shape);
  settings.BaudRate = baudRate;
  const TProtKindInfo* protocol = FindProtKind(shape.ProtType);
  auto port = [](int32_t value) { return value ? std::to_string(value) : std::string(); };

  TConnRow row;
  row.Enabled = true;
  row.Columns = {shape.ConnName,        protocol ? protocol->name : "",
                 shape.PortName,        shape.TelName,
                 shape.IP_Addr,         port(shape.IP_Port),
                 port(shape.LocalPort), std::to_string(shape.ConnType)};
  row.Settings = settings;
  return row;
}

TNTreeData* AddDeviceNode(TTree& tree, const std::string& name, uint8_t model, uint8_t address,
                          const std::string& serial) {
  TNTreeData* device = tree.AddChildNamed(tree.Root(), name);
  device->Kind = nkDevice;
  device->Level = 0;  // devices count levels from themselves
  device->ModelCode = model;
  device->Address = address;
  device->Serial = serial;
  device->DAVisible = true;
  device->HDAVisible = true;
  SetAttribute(*device, asDescription, TVariant::Int(address));
  return device;
}

// ---- The Tarvel 2001 meter, as reading its configuration builds it

// The ids the demo meter reports below "Data": its current values and the columns of its hourly archive.
constexpr uint8_t kDataBranch = 1;
constexpr uint8_t kCurrentBranch = 9;
constexpr uint8_t kHoursBranch = 26;
constexpr std::initializer_list<uint8_t> kCurrentIds = {0x00, 0x01, 0x02, 0x03, 0x04, 0x11, 0x13, 0x0D};
constexpr std::initializer_list<uint8_t> kHourColumnIds = {0x00, 0x01, 0x03, 0x04, 0x11, 0x13, 0x0D};
constexpr int kDescribeCurrentParameter = 2;

struct TMeterBuilder {
  TTree& tree;
  const TNodeDescriber& describe;

  // A child with the meter's id, filled by the driver; nullptr (and detached) when the driver has no
  // such node.
  TNTreeData* Child(TNTreeData* parent, uint8_t id, int& kind) {
    TNTreeData* child = tree.AddChildNamed(parent, std::to_string(id));
    child->Address = id;
    child->Kind = nkSubBranch;
    child->Level = static_cast<uint8_t>(parent->Level + 1);
    child->ModelCode = parent->ModelCode;
    kind = 0;
    if (describe(*child, tree.English(), kind).empty()) {
      tree.DetachChild(parent, child);
      return nullptr;
    }
    return child;
  }

  // The value and status leaves of a current-data parameter: one request of the meter answers both.
  void AddCurrentLeaves(TNTreeData* parameter) {
    parameter->Kind = nkParameter;
    const TVariant& units = Attribute(*parameter, asUnits).Value;
    struct TLeaf {
      uint8_t address;
      const char* ru;
      const char* en;
      int32_t dataType;
    };
    for (const TLeaf& leaf : {TLeaf{1, "Значение", "Value", VT_R4}, TLeaf{2, "Статус", "Status", VT_I4}}) {
      TNTreeData* node = tree.AddChildNamed(parameter, tree.English() ? leaf.en : leaf.ru);
      node->Address = leaf.address;
      node->Kind = nkGroupedParameter;
      node->Level = static_cast<uint8_t>(parameter->Level + 1);
      node->ModelCode = parameter->ModelCode;
      node->DAVisible = parameter->DAVisible;
      node->HDAVisible = parameter->HDAVisible;
      SetAttribute(*node, asDataType, TVariant::Int(leaf.dataType));
      SetAttribute(*node, asDescription, TVariant::OneByteStr(leaf.ru));
      if (leaf.address == 1) SetAttribute(*node, asUnits, units);
    }
  }

  void AddParameters(TNTreeData* branch, std::initializer_list<uint8_t> ids) {
    for (uint8_t id : ids) {
      int kind = 0;
      TNTreeData* parameter = Child(branch, id, kind);
      if (parameter == nullptr) continue;
      parameter->Kind = nkParameter;
      if (kind == kDescribeCurrentParameter && parameter->DAVisible) AddCurrentLeaves(parameter);
    }
  }

  void Build(TNTreeData* device) {
    int kind = 0;
    TNTreeData* data = Child(device, kDataBranch, kind);
    if (data == nullptr) return;
    if (TNTreeData* current = Child(data, kCurrentBranch, kind)) AddParameters(current, kCurrentIds);
    if (TNTreeData* hours = Child(data, kHoursBranch, kind)) AddParameters(hours, kHourColumnIds);
  }
};

// ---- The ModBus controller: a hand-made description (its driver builds no tree yet)

struct TDemoParameter {
  const char* name;
  uint8_t address;
  int32_t dataType;  // variant type code of the value
  const char* units;
};

constexpr TDemoParameter kControllerData[] = {
    {"Значение", 1, VT_R4, "Гкал"},
    {"Наработка", 2, VT_R4, "час"},
    {"Код ошибки", 3, VT_I4, "нет"},
};

void AddControllerTree(TTree& tree, TNTreeData* device) {
  TNTreeData* current = tree.AddChildNamed(device, "Текущие данные");
  current->Kind = nkBranch;
  current->HDAVisible = false;
  current->DAVisible = true;
  for (const TDemoParameter& p : kControllerData) {
    TNTreeData* parameter = tree.AddChildNamed(current, p.name);
    parameter->Kind = nkParameter;
    parameter->Address = p.address;
    parameter->DAVisible = true;
    DescribeParameterNode(*parameter, p.dataType, "Значение", p.units);
  }
}

}  // namespace

void BuildDemoConfiguration(TConfigController& controller, const TNodeDescriber& describe, int32_t tcpPort) {
  TConnKey tcp;
  tcp.ConnName = "Котельная";
  tcp.ConnType = static_cast<uint8_t>(TConnKind::TcpClient);
  tcp.ProtType = static_cast<uint8_t>(TProtKind::XModem);
  tcp.IP_Addr = "127.0.0.1";
  tcp.IP_Port = tcpPort;
  TConnKey serial;
  serial.ConnName = "Насосная";
  serial.ConnType = static_cast<uint8_t>(TConnKind::SerialLine);
  serial.ProtType = static_cast<uint8_t>(TProtKind::ModBus);
  serial.PortName = "COM1";

  TConnectionList& list = controller.Connections();
  list.Rows = {MakeRow(tcp, 9600), MakeRow(serial, 19200)};

  TTree& tree = controller.Tree();
  tree.SetRoot(tree.CreateRoot());
  if (describe) {
    TNTreeData* meter =
        AddDeviceNode(tree, kDemoMeterName, mcTarvel2001, kDemoMeterAddress, kDemoMeterSerial);
    TMeterBuilder{tree, describe}.Build(meter);
    TTree::SetConnectionKey(meter, list.Rows[0].Settings->Key);
  }
  TNTreeData* controllerDevice = AddDeviceNode(tree, "Контроллер", mcModBus, 17, "00000017");
  AddControllerTree(tree, controllerDevice);
  TTree::SetConnectionKey(controllerDevice, list.Rows[1].Settings->Key);
  tree.Renumber();
  tree.ShowTree(tree.Root(), nullptr, nullptr);
}

}  // namespace orvela
