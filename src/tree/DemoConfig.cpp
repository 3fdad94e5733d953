#include "tree/DemoConfig.h"

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

struct TDemoParameter {
  const char* name;
  uint8_t address;
  int32_t dataType;  // variant type code of the value
  const char* units;
};

constexpr TDemoParameter kCurrentData[] = {
    {"Значение", 1, VT_R4, "Гкал"},
    {"Наработка", 2, VT_R4, "час"},
    {"Код ошибки", 3, VT_I4, "нет"},
};

TNTreeData* AddDevice(TTree& tree, const std::string& name, uint8_t model, uint8_t address,
                      const std::string& serial, const TConnKey& key) {
  TNTreeData* device = tree.AddChildNamed(tree.Root(), name);
  device->Kind = nkDevice;
  device->Level = 0;  // devices count levels from themselves
  device->ModelCode = model;
  device->Address = address;
  device->Serial = serial;
  SetAttribute(*device, asDescription, TVariant::Int(address));

  TNTreeData* current = tree.AddChildNamed(device, "Текущие данные");
  current->Kind = nkBranch;
  current->HDAVisible = false;
  for (const TDemoParameter& p : kCurrentData) {
    TNTreeData* parameter = tree.AddChildNamed(current, p.name);
    parameter->Kind = nkParameter;
    parameter->Address = p.address;
    DescribeParameterNode(*parameter, p.dataType, "Значение", p.units);
  }

  TNTreeData* hourly = tree.AddChildNamed(device, "Почасовой архив");
  hourly->Kind = nkBranch;
  hourly->DAVisible = false;
  hourly->ArchiveStep = 3'600'000;
  TNTreeData* heat = tree.AddChildNamed(hourly, "Q");
  heat->Kind = nkGroupedParameter;
  heat->ArchiveStep = hourly->ArchiveStep;
  SetAttribute(*heat, asDataType, TVariant::Int(VT_R4));
  SetAttribute(*heat, asUnits, TVariant::OneByteStr("Гкал"));

  TTree::SetConnectionKey(device, key);
  return device;
}

}  // namespace

void BuildDemoConfiguration(TConfigController& controller, int32_t tcpPort) {
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
  AddDevice(tree, "Тарвел-1", mcTarvel2001, 1, "00012345", list.Rows[0].Settings->Key);
  AddDevice(tree, "Контроллер", mcModBus, 17, "00000017", list.Rows[1].Settings->Key);
  tree.Renumber();
  tree.ShowTree(tree.Root(), nullptr, nullptr);
}

}  // namespace orvela
