// Runs that overlap or are signalled, through the real binary: one upgrade at
// a time under the run lock, and no write cut by a signal. The flashing tool
// stand-in waits until the test releases it, so the test acts while it
// writes. Then: no backup overwritten, the image written is the one
// confirmed, and the log keeps what was written.
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

// ---------------------------------------------------------------------------
// Backups, the image confirmed and the log

// Boot code 1.9.6 -> 1.9.8 and PXE on one adapter form the same backup name
// (the PXE name takes the accepted boot code's major and minor with the
// installed build), and an earlier run's backup already has it.
TEST_F(SafeRunTest, BackupNamesTakenByAnEarlierRunOrWriteGetFreeVariants)
{
    Tools.RealWrenflash = true;
    AddStandardAdapter(0);
    sim::NvramSpec bootCode = MakeNvram(0);
    bootCode.BootCodeBuild = 8, bootCode.Rom = sim::OptionRom::None;
    WriteCatalogImage("bootcode", "bc_198.bin", sim::BuildNvramImage(bootCode));
    BootCodeCatalog(PciId(0) + " bc_198.bin v1.9.8\n");
    OfferPxe(0, "pxe_840.rom", 8, 4, 0);
    const std::string backups = LogDir + "/nicfw_backup/";
    const std::string formed = Mac(0) + ".bc1.9.6.p8.3.5";
    const std::vector<uint8_t> earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    std::filesystem::create_directories(backups);
    ASSERT_TRUE(sim::WriteFile(backups + formed + ".bin", earlier));

    RunResult r = Run({"-s"});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + Selecting(0) + Upgrading("Boot Code 1.9.6 to 1.9.8") +
                         BackupTaken(formed + ".bin", formed + "-1.bin") + Upgrading("PXE 8.3.5 to 8.4.0") +
                         BackupTaken(formed + ".bin", formed + "-2.bin") + Complete);
    std::vector<uint8_t> kept, first, second;
    ASSERT_TRUE(sim::ReadFile(backups + formed + ".bin", kept));
    ASSERT_TRUE(sim::ReadFile(backups + formed + "-1.bin", first));
    ASSERT_TRUE(sim::ReadFile(backups + formed + "-2.bin", second));
    EXPECT_EQ(kept, earlier);
    EXPECT_EQ(first, sim::BuildNvramImage(MakeNvram(0)));
    EXPECT_NE(second, first) << "the PXE backup holds the NVRAM after the boot code write";
}

// The operator accepts PXE 8.3.5 to 8.4.0; while a later question waits,
// the file is replaced by a PXE 1.3.0 image. The write is announced and
// refused; the next image is still written, with -F because of the same
// version question.
TEST_F(SafeRunTest, AnImageReplacedAfterItWasConfirmedIsNotWritten)
{
    AddStandardAdapter(0);
    AddStandardAdapter(1);
    OfferPxe(0, "pxe_840.rom", 8, 4, 0);
    BootCodeCatalog(PciId(1) + " bc_196.bin v1.9.6\n");
    const std::string pxeQuestion = Prompt("PXE 8.3.5 to 8.4.0", "y");
    const std::string bootCodeQuestion = Prompt("Boot Code 1.9.6 to 1.9.6", "n");
    const std::string image = CatalogDir + "/pxe/pxe_840.rom";
    RunOptions options;
    options.Steps = {{pxeQuestion, nullptr, 0, "y\n"},
                     {bootCodeQuestion,
                      [&] {
                          ASSERT_TRUE(sim::WriteFile(image + ".new",
                                                     sim::BuildOptionRomFile(sim::OptionRom::Pxe, 1, 3, 0)));
                          std::filesystem::rename(image + ".new", image);
                      },
                      0, "y\n"}};
    RunResult r = Run({}, options);

    EXPECT_EQ(r.Status, 3);
    const std::string refused = ImageChanged(PxeDir + "pxe_840.rom");
    EXPECT_EQ(r.Out, std::string(Banner) + Heading(0) + pxeQuestion + Heading(1) + BootCodeSame +
                         bootCodeQuestion + Notice + Selecting(0) + Upgrading("PXE 8.3.5 to 8.4.0") +
                         refused + Selecting(1) + Upgrading("Boot Code 1.9.6 to 1.9.6") + WithErrors);
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + pxeQuestion + "y\n" + Heading(1) + BootCodeSame +
                         bootCodeQuestion + "y\n" + Selecting(0) + Upgrading("PXE 8.3.5 to 8.4.0") + refused +
                         Selecting(1) + Upgrading("Boot Code 1.9.6 to 1.9.6") + WithErrors);
    EXPECT_EQ(ToolTrace(), Lines({{FlashBootCode(1, "bc_196.bin", ".bc1.9.6.bin", true)},
                                  AfterGoodFlash("eth1"),
                                  BringUp({"eth0", "eth1"})}));
}

// Every line printed before the kill is in the log, the question it waited
// at too.
TEST_F(SafeRunTest, ARunKilledAtAQuestionKeepsItsLinesInTheLog)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    OfferPxe(0, "pxe_840.rom", 8, 4, 0);
    const std::string bootCodeQuestion = Prompt("Boot Code 1.9.6 to 2.0.1", "y");
    const std::string pxeQuestion = Prompt("PXE 8.3.5 to 8.4.0", "y");
    RunOptions options;
    options.Steps = {{bootCodeQuestion, nullptr, 0, "y\n"}, {pxeQuestion, nullptr, SIGKILL, ""}};
    RunResult r = Run({}, options);
    EXPECT_EQ(r.Signal, SIGKILL);
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + bootCodeQuestion + "y\n" + pxeQuestion);
    EXPECT_EQ(ToolTrace(), std::vector<std::string>{});
}

// With standard output closed, the log does not take descriptor 1 and
// receive the console's copy of each line.
TEST_F(SafeRunTest, WithStandardOutputClosedTheLogHoldsEachLineOnce)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    RunOptions options;
    options.StdoutClosed = true;
    RunResult r = Run({"-y"}, options);
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(Log(), std::string(Banner) + Heading(0) + Selecting(0) + Upgrading("Boot Code 1.9.6 to 2.0.1") +
                         Complete);
}

} // namespace
} // namespace systest
