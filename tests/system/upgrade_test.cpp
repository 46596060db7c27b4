// The upgrade run from selection to outcome, through the real binary.
#include <string>
#include <vector>

#include "harness.h"

namespace systest {
namespace {

class UpgradeTest : public SystemTest {};

TEST_F(UpgradeTest, EmptyCatalogWritesNothingAndStillRaisesTheInterface)
{
    AddStandardAdapter(0);
    RunResult r = Run({});
    const std::string console =
        std::string(Banner) + "\nFound Orvan NX2 Gigabit Adapter 0 MAC: 02A0B0C0D000 \n";
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, console);
    EXPECT_EQ(r.Err, "");
    EXPECT_EQ(Log(), console);
    EXPECT_EQ(Trace(), (std::vector<std::string>{"ifconfig eth0 up", "sleep 1"}));
    EXPECT_EQ(CountBmapiCalls("BmapiUninitialize"), 1u);
}

} // namespace
} // namespace systest
