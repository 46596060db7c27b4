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

std::string Interrupted(const std::string& signal)
{
    return "Firmware update interrupted by " + signal + ": no further image was written.\n";
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

    void ForgetToolWaits()
    {
        std::error_code ec;
        for (const std::string& path : {ToolStartedPath(), ToolGoPath(), PauseHeldPath()})
            std::filesystem::remove(path, ec);
    }

    // The first write of adapter 0 (boot code) as far as its reload, when
    // the tool waited.
    static std::vector<std::string> FirstWriteAndReload(std::initializer_list<std::string> pauses)
    {
        std::vector<std::string> lines = {FlashBootCode(0, "bc_201.bin", ".bc1.9.6.p8.3.5.bin"), Answers,
                                          "wrenflash done", "rmmod bnx2", "modprobe bnx2"};
        lines.insert(lines.end(), pauses);
        lines.push_back("ifconfig eth0 up");
        return lines;
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

// INT, TERM, HUP or QUIT to the process group while the tool writes (Ctrl-C,
// a hang-up, a kill of the job): the tool finishes, its write is followed by
// the driver reload, no further image is written, every interface comes up,
// and the run ends with errors. A hang-up also takes the console away.
TEST_F(SafeRunTest, ASignalToTheProcessGroupWhileTheToolWritesLetsTheWriteFinishAndWritesNoMore)
{
    TwoAdaptersWithWork();
    const struct {
        int Signal;
        std::string Name;
    } cases[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}, {SIGQUIT, "SIGQUIT"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        ClearRecords();
        ForgetToolWaits();
        Tools.WrenflashOutput = "writing\n";
        StartedRun run = Start({"-y"});
        ASSERT_TRUE(WaitForFile(ToolStartedPath()));
        const bool consoleLost = c.Signal == SIGHUP;
        if (consoleLost)
            CloseConsole(run);
        ASSERT_EQ(kill(-run.Pid, c.Signal), 0);
        ReleaseTool();
        const RunResult r = Finish(run);

        EXPECT_EQ(r.Status, 3);
        const std::string console = std::string(Banner) + Heading(0) + Heading(1) + Notice + Selecting(0) +
                                    Upgrading(BootCode) + "writing\n" + Interrupted(c.Name) + WithErrors;
        if (!consoleLost) {
            EXPECT_EQ(r.Out, console);
        }
        EXPECT_EQ(Log(), WithoutNotice(console.substr(0, console.find("writing\n"))) + Interrupted(c.Name) +
                             WithErrors);
        EXPECT_EQ(ToolTrace(), Lines({FirstWriteAndReload({"sleep 10"}), BringUp({"eth0", "eth1"})}));
    }
}

// A signal during the pause after the driver load: the pause is slept out,
// the interface raised, and nothing more is written.
TEST_F(SafeRunTest, ASignalDuringTheReloadPauseIsSleptOutAndNoFurtherImageIsWritten)
{
    TwoAdaptersWithWork();
    ReleaseTool();
    RunOptions options;
    options.HoldPause = 10;
    StartedRun run = Start({"-s"}, options);
    ASSERT_TRUE(WaitForFile(PauseHeldPath()));
    ASSERT_EQ(kill(-run.Pid, SIGTERM), 0);
    const RunResult r = Finish(run);

    EXPECT_EQ(r.Status, 3);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + Heading(1) + Selecting(0) + Upgrading(BootCode) +
                         Interrupted("SIGTERM") + WithErrors);
    // The recorder reports one second of the held pause as passed.
    EXPECT_EQ(ToolTrace(), Lines({FirstWriteAndReload({"sleep 10", "sleep 9"}), BringUp({"eth0", "eth1"})}));
}

// SIGKILL to the process group (as a job controller's timeout sends it)
// reaches tidemark alone: the tool writes to the end, although nobody reads
// its output any more, and holds the lock until it exits, so that a second
// run is refused meanwhile. Nothing reloads the driver or raises an
// interface after the kill.
TEST_F(SafeRunTest, AfterAKillOfTidemarkItsToolFinishesAndHoldsTheLockUntilItExits)
{
    TwoAdaptersWithWork();
    Tools.WrenflashOutput = "written\n";
    StartedRun first = Start({"-s"});
    ASSERT_TRUE(WaitForFile(ToolStartedPath()));
    const std::string pid = std::to_string(first.Pid);
    ASSERT_EQ(kill(-first.Pid, SIGKILL), 0);
    Finish(first, SIGKILL);

    const RunResult second = Run({});
    EXPECT_EQ(second.Status, 2);
    EXPECT_EQ(second.Out, Refusal("a command that tidemark (pid " + pid + ", no longer running) started"));

    ReleaseTool();
    ASSERT_TRUE(WaitUntil([&] { return !LockHeld(); })) << "the tool still holds the lock";
    EXPECT_EQ(ToolTrace(), (std::vector<std::string>{FlashBootCode(0, "bc_201.bin", ".bc1.9.6.p8.3.5.bin"),
                                                     Answers, "wrenflash done"}));

    ClearRecords();
    EXPECT_EQ(Run({"-s"}).Status, 0) << "the lock is free again";
}

} // namespace
} // namespace systest
