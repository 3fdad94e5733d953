// The Tarvel M's branch read against scripted failures: a port that fails is given up after the second
// attempt, a meter that does not answer after the third, and each ends with its own bad quality.
#include <gtest/gtest.h>

#include "drivers/DriverRecords.h"
#include "drivers/ScriptedFraming.h"
#include "drivers/TarvelM.h"
#include "tree/TreeItem.h"

namespace orvela {
namespace {

TEST(TarvelMExchange, BranchReadRetriesByHowTheExchangeFailed) {
  struct TCase {
    bool portFails;
    size_t attempts;
    uint8_t quality;
  };
  for (const TCase& c : {TCase{true, 2, kQualityNotConnected}, TCase{false, 3, kQualityDeviceFailure}}) {
    SCOPED_TRACE(c.portFails ? "port failure" : "no answer");
    auto owned = std::make_unique<test::TScriptedFraming>();
    test::TScriptedFraming& framing = *owned;
    framing.portFails = c.portFails;
    test::TAlwaysConnected link;
    TTarvelM model(std::move(owned), nullptr, &link);
    TPribor record;
    model.SetDevice(&record);

    TNTreeData root, device, subsystem, branch, first, second;
    root.Kind = nkRoot;
    device.Kind = nkDevice;
    device.Address = 7;
    device.Parent = &root;
    subsystem.Address = 200;
    subsystem.Parent = &device;
    branch.Address = 9;
    branch.Parent = &subsystem;
    branch.Children = {&first, &second};
    first.Parent = second.Parent = &branch;

    TPrbArray result;
    EXPECT_FALSE(model.ReadCurrent(result, &branch, 1));
    EXPECT_EQ(framing.requests.size(), c.attempts);
    EXPECT_EQ(result.ValueQuality, c.quality);
    EXPECT_EQ(result.Count, 0);
  }
}

}  // namespace
}  // namespace orvela
