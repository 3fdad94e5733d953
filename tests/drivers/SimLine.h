#pragma once
// A simulated line of the maker's meters, and the driver side wired to it through a real link (TCP or
// UDP, as the test chooses) and the XModem framing.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "drivers/Families.h"
#include "drivers/Tarvel2001.h"
#include "drivers/TarvelFactory.h"
#include "links/TcpConnectionPort.h"
#include "links/UdpConnectionPort.h"
#include "links/records/LinkAddress.h"
#include "metersim/DeviceFactory.h"
#include "metersim/Line.h"
#include "platform/Clock.h"
#include "tree/TreeItem.h"

namespace orvela::test {

// Both sides run on one scaled clock: XModem's waits are whole seconds of the protocol's time, a loopback
// answer takes well under a real millisecond.
constexpr double kSimScale = 40;
inline const TDateTime kSimStart = EncodeDateTime(2024, 3, 2, 10, 20);

struct TSimMeter {
  const char* family;  // the family's key, as metersim names it
  uint8_t address;
  const char* serial;
};

// How the driver side reaches the line. (The line also offers a pseudo-terminal; the driver side gets it
// once there is a serial link.)
enum class ESimLink { Tcp, Udp };

struct TSimLineSetup {
  std::vector<TSimMeter> meters = {{"tarvel2001", 1, "12345678"}};
  ESimLink link = ESimLink::Tcp;
  // UDP: answers leave from another port of the line's address, as some converters send them.
  bool udpReplyPortShift = false;
  // UDP: the key's address field carries the ports, as auto-configuration stores them (the port field is
  // then ignored).
  bool udpPortsInAddress = false;
  // The framing: XModem, or ModBus with the meters behind the converter's tunnel (families "…_mb").
  TProtKind protocol = TProtKind::XModem;
};

class TSimLineTest : public ::testing::Test {
 protected:
  explicit TSimLineTest(std::vector<TSimMeter> meters = {{"tarvel2001", 1, "12345678"}},
                        ESimLink kind = ESimLink::Tcp)
      : TSimLineTest(TSimLineSetup{.meters = std::move(meters), .link = kind}) {}
  explicit TSimLineTest(TSimLineSetup setup)
      : meters_(std::move(setup.meters)),
        clock(kSimScale, kSimStart),
        line(sim::TLineOptions{.clock = &clock, .udpReplyPortShift = setup.udpReplyPortShift}) {
    for (const TSimMeter& m : meters_) line.AddDevice(sim::MakeDevice(m.family, m.address, m.serial));
    settings.EchoTested = 1;  // the line does not echo; spare every connection the probe
    key.ProtType = static_cast<uint8_t>(setup.protocol);
    key.IP_Addr = "127.0.0.1";
    if (setup.link == ESimLink::Tcp) {
      line.ListenTcp();
      key.ConnName = "Котельная";
      key.ConnType = static_cast<uint8_t>(TConnKind::TcpClient);
      key.IP_Port = line.Port();
      link = std::make_unique<TTCPConnectionPort>(&settings, clock);
    } else {
      line.ListenUdp();
      key.ConnName = "Насосная";
      key.ConnType = static_cast<uint8_t>(TConnKind::Udp);
      if (setup.udpPortsInAddress) {
        key.IP_Addr.append(":").append(std::to_string(line.UdpPort())).append(":0000");
        key.IP_Port = 9;
      } else {
        key.IP_Port = line.UdpPort();
        key.LocalPort = 0;  // any free port
      }
      link = std::make_unique<TUdpConnectionPort>(&settings, clock);
    }
    settings.Key = key;
    link->SetOrder(&channel);
    EXPECT_TRUE(link->SetAddress(BuildLinkAddress(key))) << BuildLinkAddress(key);
  }
  ~TSimLineTest() override {
    models_.clear();
    link.reset();
    line.Stop();
  }

  // The data model of the meter at an address (its family's, on the line's link), with its device record;
  // the record carries the meter's serial unless another is given.
  TDataModel& DeviceModel(uint8_t address, const char* serial = nullptr) {
    const TSimMeter& meter = Meter(address);
    const TFamily* family = FamilyOf(meter);
    auto& record = records_.emplace_back(std::make_unique<TPribor>());
    record->Address = address;
    record->Serial = serial ? serial : meter.serial;
    record->ModelCode = family ? family->code : 0;
    record->Name = family ? std::string(FamilyDisplayName(family->code)) : "";
    auto model = TTarvelFactory::CreateModel(record->ModelCode, key, nullptr, link.get(), {settings_});
    if (!model) throw std::runtime_error(std::string("no data model for ") + meter.family);
    model->SetDevice(record.get());
    model->SetOrder(&channel);
    model->SetArchiveDates(&archiveDates);
    models_.push_back(std::move(model));
    return *models_.back();
  }
  // The same for a Tarvel 2001 meter.
  TTarvel2001& Model(uint8_t address, const char* serial = nullptr) {
    EXPECT_EQ(std::string(Meter(address).family), "tarvel2001");
    return static_cast<TTarvel2001&>(DeviceModel(address, serial));
  }
  TPribor& Record() { return *records_.back(); }
  TSettings& Settings() { return settings_; }
  template <class TLink>
  TLink& LinkAs() {
    return dynamic_cast<TLink&>(*link);
  }

  // Requests the line has seen since the last call.
  std::vector<sim::TExchangeRecord> TakeExchanges() {
    auto records = line.Exchanges();
    line.ClearExchanges();
    return records;
  }

 private:
  std::vector<TSimMeter> meters_;

  const TSimMeter& Meter(uint8_t address) const {
    for (const TSimMeter& m : meters_)
      if (m.address == address) return m;
    throw std::invalid_argument("no simulated meter at address " + std::to_string(address));
  }
  static const TFamily* FamilyOf(const TSimMeter& meter) {
    // A meter behind the tunnel is its family's meter.
    std::string_view name = meter.family;
    if (name.ends_with("_mb")) name.remove_suffix(3);
    for (const TFamily& family : kFamilies)
      if (family.key == name) return &family;
    return nullptr;
  }

 protected:
  ScaledClock clock;
  sim::TLine line;
  TConnSettings settings;
  TConnKey key;
  TMemoryChannelLog channel;
  std::unique_ptr<TConnectionDevice> link;
  std::vector<TDateArrayCell*> archiveDates;

 private:
  TSettings settings_{};
  std::vector<std::unique_ptr<TPribor>> records_;
  std::vector<std::unique_ptr<TDataModel>> models_;
};

// A device node and the nodes below it, made the way the discovery walk makes them: the address is the id
// and the driver names and describes each node. Branch nodes are made once, so their date cache is shared.
class TSimDeviceNodes {
 public:
  TSimDeviceNodes(TDataModel& model, const TPribor& record) : model_(model) {
    root = tree.CreateRoot();
    device = tree.AddChildNamed(root, record.Name + "  (" + record.Serial + ")");
    device->Kind = nkDevice;
    device->Address = record.Address;
    device->ModelCode = record.ModelCode;
    device->Serial = record.Serial;
  }

  TNTreeData* Node(std::initializer_list<uint8_t> idsFromTop) {
    TNTreeData* node = device;
    for (uint8_t id : idsFromTop) {
      auto [it, fresh] = children_.try_emplace({node, id}, nullptr);
      if (fresh) {
        TNTreeData* child = tree.AddChildNamed(node, "");
        child->Address = id;
        child->Kind = nkSubBranch;
        std::string name;
        int kind = 0;
        model_.DescribeNode(TIdPath::FromNode(child), *child, name, kind);
        EXPECT_FALSE(name.empty()) << int(id);
        it->second = child;
      }
      node = it->second;
    }
    return node;
  }

  TTree tree;
  TNTreeData* root = nullptr;
  TNTreeData* device = nullptr;

 private:
  TDataModel& model_;
  std::map<std::pair<TNTreeData*, uint8_t>, TNTreeData*> children_;
};

}  // namespace orvela::test
