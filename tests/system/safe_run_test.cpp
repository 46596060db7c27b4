// Runs that overlap or are signalled, through the real binary: one upgrade at
// a time under the run lock, and no write cut by a signal. The flashing tool
// stand-in waits until the test releases it, so the test acts while it
// writes.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "upgrade_support.h"

namespace systest {
namespace {

using namespace upgrade;

const std::string BootCode = "Boot Code 1.9.6 to 2.0.1";
const std::string Pxe = "PXE 8.3.5 to 8.4.0";

std::string Refusal(const std::string& holder)
{
    return "Another firmware upgrade is in progress: the lock /run/tidemark.lock is held by " + holder +
           ".\n";
}

class SafeRunTest : public UpgradeFixture {
protected:
    // Adapter 0: a newer boot code and PXE image; adapter 1: a newer boot
    // code image. Every tool run waits until released.
    void TwoAdaptersWithWork()
    {
        AddStandardAdapter(0);
        AddStandardAdapter(1);
        BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n" + PciId(1) + " bc_201.bin v2.0.1\n");
        OfferPxe(0, "pxe_840.rom", 8, 4, 0);
        Tools.WrenflashWaits = true;
    }

    // Whether a process holds the run lock, seen from outside the sandbox.
    bool LockHeld() const
    {
        const int fd = open((Root + "/run/tidemark.lock").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        const bool held = fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
        close(fd);
        return held;
    }
};

// Started while the first writes, a second run asks nothing, opens no
// library, runs nothing and names the holder; the first completes. The
// refusal stands in the log where the first had closed it for its tool.
TEST_F(SafeRunTest, ASecondRunWhileTheFirstWritesIsRefusedAndTheFirstCompletes)
{
    TwoAdaptersWithWork();
    StartedRun first = Start({"-s"});
    ASSERT_TRUE(WaitForFile(ToolStartedPath()));
    const std::string refusal = Refusal("tidemark (pid " + std::to_string(first.Pid) + ")");

    const RunResult second = RunWithInput({}, "y\ny\ny\n");
    EXPECT_EQ(second.Status, 2);
    EXPECT_EQ(second.Out, refusal);
    EXPECT_EQ(second.Err, "");
    EXPECT_EQ(CountBmapiCalls("BmapiGetVersion"), 1u);

    ReleaseTool();
    const RunResult r = Finish(first);
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + Heading(1) + Selecting(0) + Upgrading(BootCode) +
                         refusal + Upgrading(Pxe) + Selecting(1) + Upgrading(BootCode) + Complete);
    EXPECT_EQ(FlashToolArguments().size(), 3u) << "only the first run wrote";
    struct stat lockFile {};
    ASSERT_EQ(stat((Root + "/run/tidemark.lock").c_str(), &lockFile), 0);
    EXPECT_EQ(lockFile.st_mode & 07777, 0600u);
    EXPECT_FALSE(LockHeld());
}

} // namespace
} // namespace systest
