// Port names and the devices they stand for: the program folder's map, the environment's entries over it,
// the built-in fallback, and entries that are refused.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "links/PortMap.h"
#include "support/TempDir.h"

namespace orvela {
namespace {

class PortMapFolder : public ::testing::Test {
 protected:
  PortMapFolder() { SetPortMapFolder(dir.Path()); }
  ~PortMapFolder() override {
    SetPortMapFolder({});
    ::unsetenv(kPortsEnvironment);
  }
  void WriteMap(const std::string& text) { std::ofstream(dir.Path() / kPortMapFileName) << text; }

  test::TTempDir dir{"port-map"};
};

TEST_F(PortMapFolder, NamesResolveThroughTheFolderThenTheEnvironmentThenTheBuiltInPorts) {
  WriteMap("# comment\nCOM3=/dev/ttyUSB0\n  com4 = /dev/serial/by-id/usb-FTDI_X-if00  \n\nCOM7=/dev/pts/1\n");
  ::setenv(kPortsEnvironment, "COM7=/dev/pts/3;Com9=/dev/ttyUSB9", 1);
  struct TCase {
    const char* name;
    const char* path;
  };
  for (const TCase& c : {TCase{"COM3", "/dev/ttyUSB0"},
                         {"Com4", "/dev/serial/by-id/usb-FTDI_X-if00"},
                         {"COM7", "/dev/pts/3"},  // the environment over the folder
                         {"COM9", "/dev/ttyUSB9"},
                         {"COM1", "/dev/ttyS0"},
                         {"COM12", "/dev/ttyS11"},
                         {"ttyACM0", "/dev/ttyACM0"},
                         {"/dev/pts/9", "/dev/pts/9"}}) {
    SCOPED_TRACE(c.name);
    std::string error;
    EXPECT_EQ(ResolvePortPath(c.name, &error), c.path);
    EXPECT_EQ(error, "");
  }
}

TEST_F(PortMapFolder, DamagedEntriesAreReportedAndDoNotHideTheOthers) {
  WriteMap("COM3\n");
  ::setenv(kPortsEnvironment, "COM5=/dev/ttyUSB5", 1);
  std::string error;
  EXPECT_EQ(ResolvePortPath("COM5", &error), "/dev/ttyUSB5");
  EXPECT_NE(error.find("COM3"), std::string::npos) << error;
  EXPECT_EQ(ResolvePortPath("COM3", &error), "/dev/ttyS2");
}

TEST(PortMap, RefusesEntriesNoKeyOrFileCanCarry) {
  for (const char* text : {"COM1234=/dev/ttyS0", "=/dev/ttyS0", "COM1=", "COM 1=/dev/x", "COM1"}) {
    SCOPED_TRACE(text);
    std::string error;
    TPortMap::Parse(text, ';', error);
    EXPECT_NE(error, "");
  }
  TPortMap map;
  EXPECT_NE(map.Map("COM1", std::string(kMaxPortPath + 1, 'x')), "");
  for (size_t i = 0; i < kMaxPortEntries; ++i) ASSERT_EQ(map.Map("P" + std::to_string(i), "/dev/x"), "");
  EXPECT_NE(map.Map("COM1", "/dev/x"), "");
  EXPECT_EQ(map.Map("p1", "/dev/y"), "");  // replacing needs no room
  EXPECT_EQ(map.Find("P1"), "/dev/y");
}

TEST(PortMap, SavedMapLoadsBackAndUnmapForgetsIgnoringCase) {
  test::TTempDir dir("port-map-save");
  TPortMap map;
  ASSERT_EQ(map.Map("COM3", "/dev/ttyUSB0"), "");
  ASSERT_EQ(map.Map("COM4", "/dev/serial/by-id/usb-1"), "");
  ASSERT_EQ(map.Map("com3", "/dev/ttyUSB1"), "");
  ASSERT_EQ(map.Save(dir.Path()), "");
  std::string error;
  TPortMap loaded = TPortMap::Load(dir.Path(), error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(loaded.Entries(), map.Entries());
  EXPECT_EQ(loaded.Find("COM3"), "/dev/ttyUSB1");
  EXPECT_TRUE(loaded.Unmap("Com3"));
  EXPECT_FALSE(loaded.Unmap("COM3"));
  EXPECT_EQ(loaded.Entries().size(), 1u);
}

TEST(PortMap, MachinePortsComeFromByIdAndTheKnownDeviceNames) {
  test::TTempDir dev("fake-dev");
  std::filesystem::create_directories(dev.Path() / "serial" / "by-id");
  for (const char* name : {"ttyS10", "ttyS2", "ttyUSB0", "ttyACM1", "tty0", "ttyprintk", "null", "ttySX"})
    std::ofstream(dev.Path() / name) << "";
  std::ofstream(dev.Path() / "serial" / "by-id" / "usb-FTDI-if00") << "";
  std::vector<std::string> ports = MachineSerialPorts(dev.Path());
  const std::string root = dev.Path().string();
  const std::vector<std::string> expected = {root + "/serial/by-id/usb-FTDI-if00", root + "/ttyS2",
                                             root + "/ttyS10", root + "/ttyACM1", root + "/ttyUSB0"};
  EXPECT_EQ(ports, expected);
}

}  // namespace
}  // namespace orvela
