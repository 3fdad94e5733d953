// The Zelio and KM controller drivers against metersim's controllers over a real TCP link and the ModBus
// framing: trees, register, input and coil reads, writes the controller takes (the KM coil read back), and
// replies that must end in a failure with bad quality.
#include <gtest/gtest.h>

#include <set>

#include "drivers/ModBusFaultCases.h"
#include "drivers/SimLine.h"
#include "drivers/TreeBuilders.h"
#include "drivers/Zelio.h"
#include "metersim/ModBusControllers.h"

namespace orvela {
namespace {

constexpr const char* kZelioSerial = "Z0000005";
constexpr const char* kKmSerial = "KM0042";
constexpr uint8_t kZelio = 5, kKm = 6;

class ControllerLine : public test::TSimLineTest {
 protected:
  ControllerLine()
      : TSimLineTest(test::TSimLineSetup{.meters = {{"zelio", kZelio, kZelioSerial}, {"km", kKm, kKmSerial}},
                                         .protocol = TProtKind::ModBus}) {
    root = tree.CreateRoot();
  }

  TDataModel& Model(uint8_t address) {
    TDataModel& model = DeviceModel(address);
    model.SetEnvironment({.Settings = Settings(), .TreeBuilder = &builder});
    return model;
  }

  TNTreeData* Build(uint8_t address, uint8_t code, const char* name) {
    TNTreeData* device = tree.CreateNode();
    device->Name = name;
    device->Kind = nkDevice;
    device->Address = address;
    device->ModelCode = code;
    device->ConnKey = key;
    tree.AttachChild(root, device);
    EXPECT_TRUE(Model(address).BuildTree(device));
    return device;
  }

  static TNTreeData* Child(TNTreeData* node, const std::string& name) {
    for (TNTreeData* c : node->Children)
      if (c->Name == name) return c;
    ADD_FAILURE() << "no node " << name;
    return nullptr;
  }

  bool Read(uint8_t address, TNTreeData* node, TPrbArray& result) {
    TDataModel& model = Model(address);
    model.SetRequestedNode(node);
    return model.ReadCurrent(result, node, 1);
  }

  // A DA write of the value, as the reader thread hands it to the driver.
  bool Write(uint8_t address, TNTreeData* node, const TVariant& value) {
    TDataModel& model = Model(address);
    TDescThread item;
    item.Node = node;
    item.Value = value;
    model.SetRequestedNode(node);
    model.SetWorkItem(&item);
    TPrbArray result;
    return model.WriteCurrent(result, node, 1);
  }

  TTree tree;
  test::TTreeBuilderOver builder{tree};
  TNTreeData* root = nullptr;
};

TEST_F(ControllerLine, KmInputsAndTheCoilWrittenAndReadBack) {
  TNTreeData* km = Build(kKm, mcModBus, "КМ");
  EXPECT_EQ(km->Serial, kKmSerial);
  EXPECT_EQ(km->Name, std::string("КМ  (") + kKmSerial + ")");
  TNTreeData* inputs = Child(km, "Входы");
  ASSERT_EQ(inputs->Children.size(), 4u);
  for (uint16_t n = 0; n < 4; ++n) {
    TPrbArray result;
    TDateTime before = clock.Now();
    ASSERT_TRUE(Read(kKm, inputs->Children[n], result)) << n;
    ASSERT_NE(result.SingleValue(), nullptr);
    bool value = result.SingleValue()->Value.i != 0;
    EXPECT_TRUE(value == sim::KmInput(kKmSerial, n, before) ||
                value == sim::KmInput(kKmSerial, n, clock.Now()));
  }
  TNTreeData* coil = Child(km, "Выход");
  auto* controller = dynamic_cast<sim::TKmController*>(line.FindDevice(kKm, "modbus"));
  ASSERT_NE(controller, nullptr);
  for (bool on : {true, false, true}) {
    ASSERT_TRUE(Write(kKm, coil, TVariant::Bool(on)));
    EXPECT_EQ(controller->Coil(), on);
    TPrbArray result;
    ASSERT_TRUE(Read(kKm, coil, result));
    EXPECT_EQ(result.SingleValue()->Value.i != 0, on);
  }
  // The inputs are the controller's: a write to one is refused without an exchange.
  TakeExchanges();
  EXPECT_FALSE(Write(kKm, inputs->Children[0], TVariant::Bool(true)));
  EXPECT_TRUE(TakeExchanges().empty());
}

TEST_F(ControllerLine, ZelioRegistersStatusAndWrites) {
  TNTreeData* zelio = Build(kZelio, mcZelio, "Zelio");
  std::vector<std::string> names;
  std::set<std::string> distinct;
  for (TNTreeData* c : zelio->Children) {
    names.push_back(c->Name);
    distinct.insert(c->Name);
  }
  EXPECT_EQ(distinct.size(), names.size()) << "every item needs its own identifier";
  EXPECT_EQ(names.front(), "J1XT1");

  TPrbArray result;
  TDateTime before = clock.Now();
  ASSERT_TRUE(Read(kZelio, Child(zelio, "Регистр 21"), result));
  auto value = static_cast<int16_t>(result.SingleValue()->Value.i);
  EXPECT_TRUE(value == sim::ZelioRegister(kZelioSerial, 21, before) ||
              value == sim::ZelioRegister(kZelioSerial, 21, clock.Now()));
  ASSERT_TRUE(Read(kZelio, Child(zelio, "Статус"), result));
  EXPECT_EQ(result.SingleValue()->Value.i, sim::ZelioStatus(kZelioSerial));

  // A register write is reported as what the controller did with it.
  TNTreeData* j2 = Child(zelio, "J2XT1");
  ASSERT_TRUE(Write(kZelio, j2, TVariant::Int(1234)));
  ASSERT_TRUE(Read(kZelio, j2, result));
  EXPECT_EQ(result.SingleValue()->Value.i, 1234);
  line.FindDevice(kZelio, "modbus")->Faults().Update([](sim::TFaults& f) { f.exceptionReplies = 1; });
  EXPECT_FALSE(Write(kZelio, j2, TVariant::Int(7)));

  // The clock write is a well-formed four-register write the controller takes.
  const TDateTime time = EncodeDateTime(2024, 5, 17, 13, 45, 30);
  ASSERT_TRUE(Write(kZelio, Child(zelio, "Часы"), TVariant::Date(time)));
  EXPECT_EQ(dynamic_cast<sim::TZelioController*>(line.FindDevice(kZelio, "modbus"))->WrittenClock(), time);
}

// Each unhappy reply ends the read with a failure and bad quality; the line serves the next read.
TEST_F(ControllerLine, UnhappyRepliesFailWithBadQualityAndTheLineRecovers) {
  TNTreeData* km = Build(kKm, mcModBus, "КМ");
  TNTreeData* zelio = Build(kZelio, mcZelio, "Zelio");
  struct TTarget {
    uint8_t address;
    TNTreeData* node;
  } targets[] = {{kKm, Child(km, "Выход")}, {kZelio, Child(zelio, "Регистр 20")}};
  for (const TTarget& target : targets) {
    sim::TSimDevice* device = line.FindDevice(target.address, "modbus");
    for (const test::TModBusFaultCase& c : test::ModBusUnhappyReplies()) {
      SCOPED_TRACE(std::string(c.fault) + " at " + std::to_string(target.address));
      device->Faults().Update([&](sim::TFaults& f) {
        f = {};
        c.set(f);
      });
      TPrbArray failed;
      EXPECT_FALSE(Read(target.address, target.node, failed));
      EXPECT_EQ(failed.ValueQuality, kQualityDeviceFailure);
      EXPECT_EQ(failed.SingleValue(), nullptr);
      device->Faults().Set({});
      TPrbArray result;
      EXPECT_TRUE(Read(target.address, target.node, result));
      EXPECT_NE(result.SingleValue(), nullptr);
    }
  }
}

}  // namespace
}  // namespace orvela
