// Update runs, backup names, the flashing tool's command line, driver reload
// and interface bring-up, with recording stand-ins in the test's private
// /usr/sbin (see tests/sandbox/sandbox.sh) and pauses recorded, not slept.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "catalog/image_identity.h"
#include "catalog/image_kinds.h"
#include "console/output.h"
#include "state/records.h"
#include "test_support.h"
#include "upgrade/backup_name.h"
#include "upgrade/flash_tool.h"
#include "upgrade/reload.h"
#include "upgrade/run_lock.h"
#include "upgrade/update.h"

namespace {
std::vector<unsigned> pauses;
} // namespace

// The process's pauses: recorded instead of slept.
extern "C" unsigned sleep(unsigned seconds)
{
    pauses.push_back(seconds);
    return 0;
}

namespace {

const std::string Scratch = "/var/opt/test";
const std::string TracePath = Scratch + "/trace";

// A stand-in that records its name, arguments and standard input, then exits
// with the code in Scratch/NAME.exit (0 when absent), or with the code for its
// last argument in Scratch/NAME.ARG.exit.
void InstallRecorder(const std::string& name)
{
    std::string script = "#!/bin/sh\n"
                         "echo \"" +
                         name + " $*\" >> " + TracePath + "\n";
    if (name == "wrenflash")
        script += "printf 'answers %s\\n' \"$(cat)\" >> " + TracePath + "\n";
    script += "for last in \"$@\"; do :; done\n"
              "if [ -f " +
              Scratch + "/" + name + ".$last.exit ]; then exit $(cat " + Scratch + "/" + name +
              ".$last.exit); fi\n"
              "if [ -f " +
              Scratch + "/" + name + ".exit ]; then exit $(cat " + Scratch + "/" + name +
              ".exit); fi\n"
              "exit 0\n";
    const std::string path = "/usr/sbin/" + name;
    test::WriteText(path, script);
    chmod(path.c_str(), 0755);
}

class Update : public ::testing::Test {
protected:
    void SetUp() override
    {
        gRun = {};
        LogClose();
        pauses.clear();
        mkdir(Scratch.c_str(), 0755);
        mkdir("/var/opt/orvan", 0755);
        std::remove(TracePath.c_str());
        std::remove(LogFilePath);
        for (const char* name : {"wrenflash", "rmmod", "modprobe", "ifconfig"}) {
            InstallRecorder(name);
            std::remove((Scratch + "/" + name + ".exit").c_str());
        }
        installed.assign(3, InstalledFirmware{});
        selections.assign(3, ImageSelection{});
        for (int i = 0; i < 3; ++i) {
            InstalledFirmware& nic = installed[i];
            std::snprintf(nic.Name, sizeof nic.Name, "Test Adapter %d", i);
            std::snprintf(nic.MacText, sizeof nic.MacText, "00112233AAB%d", i);
            std::snprintf(nic.InterfaceName, sizeof nic.InterfaceName, "eth%d", i);
            nic.BootCodeMajor = 1;
            nic.BootCodeMinor = 9;
            nic.BootCodeBuild = 6;
            nic.PxeMajor = 8;
            nic.PxeMinor = 3;
            nic.PxeBuild = 5;
            nic.InstalledFlags = InstBootCodeVersion | InstPxeVersion;
        }
        gRun.Installed = installed.data();
        gRun.Selections = selections.data();
        gRun.AdapterCount = 3;
        LogResume();
    }
    void TearDown() override
    {
        LogClose();
        gRun = {};
    }

    static void ExitCode(const std::string& name, int code)
    {
        test::WriteText(Scratch + "/" + name + ".exit", std::to_string(code));
    }

    void AcceptBootCode(int i, uint32_t major, uint32_t minor, uint32_t build)
    {
        ImageSelection& s = selections[i];
        s.SelectionFlags |= SelBootCodeVersion | SelBootCodeAccepted;
        s.BootCodeMajor = major;
        s.BootCodeMinor = minor;
        s.BootCodeBuild = build;
        Confirm(i, ImageKind::BootCode,
                "/opt/orvan/nic_fw/nx2/bootcode/bc" + std::to_string(major) + std::to_string(minor) +
                    std::to_string(build) + ".bin");
    }
    void AcceptPxe(int i, uint8_t major, uint8_t minor, uint8_t build)
    {
        ImageSelection& s = selections[i];
        s.SelectionFlags |= SelPxeVersion | SelPxeAccepted;
        s.PxeMajor = major;
        s.PxeMinor = minor;
        s.PxeBuild = build;
        Confirm(i, ImageKind::Pxe, "/opt/orvan/nic_fw/nx2/pxe/pxe.bin");
    }
    void AcceptClp(int i, uint32_t major, uint32_t minor, uint32_t build)
    {
        ImageSelection& s = selections[i];
        s.SelectionFlags |= SelClpVersion | SelClpAccepted;
        s.ClpMajor = major;
        s.ClpMinor = minor;
        s.ClpBuild = build;
        Confirm(i, ImageKind::Clp, "/opt/orvan/nic_fw/nx2/clp/clp.bin");
    }
    // The kind's image as the selection offered it: the file is there and
    // its identity recorded.
    void Confirm(int i, ImageKind kind, const std::string& path)
    {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        test::WriteText(path, "image " + path);
        ImageSelection& s = selections[i];
        std::snprintf(s.*DescriptorOf(kind).PathField, PathFieldSize, "%s", path.c_str());
        s.Identity[static_cast<size_t>(kind)] = IdentifyImageFile(path.c_str());
    }

    // Runs the three update runs for adapter i and returns the console text.
    std::string UpdateAdapter(uint32_t i)
    {
        console.Start();
        gRun.CurrentAdapter = i;
        UpdateBootCode();
        UpdatePXE();
        UpdateCLP();
        return console.Stop();
    }

    static std::string Trace() { return test::ReadText(TracePath); }
    static std::string Log()
    {
        LogClose();
        return test::ReadText(LogFilePath);
    }

    std::vector<InstalledFirmware> installed;
    std::vector<ImageSelection> selections;
    test::ConsoleCapture console;
};

const std::string Notice = "\nThe Firmware Upgrade will take several minutes.  Please be patient.\n";
const std::string Reload0 = "rmmod bnx2\nmodprobe bnx2\nifconfig eth0 up\n";

TEST_F(Update, NothingAcceptedDoesNothing)
{
    selections[0].SelectionFlags = SelBootCodeVersion | SelPxeVersion | SelClpVersion | SelIpmiVersion;
    EXPECT_EQ(UpdateAdapter(0), "");
    EXPECT_EQ(Trace(), "");
    EXPECT_FALSE(HasFlag(FlagUpdateStarted | FlagUpdated | FlagErrors));
}

TEST_F(Update, BootCodeAndPxeForOneAdapter)
{
    AcceptBootCode(0, 2, 0, 1);
    AcceptPxe(0, 8, 4, 0);
    EXPECT_EQ(UpdateAdapter(0), Notice + "\nSelecting Test Adapter 0 MAC: 00112233AAB0 \n"
                                         "Upgrading Boot Code 1.9.6 to 2.0.1\n"
                                         "Upgrading PXE 8.3.5 to 8.4.0\n");
    EXPECT_EQ(Trace(), "wrenflash 00112233AAB0 upgrade -bc /opt/orvan/nic_fw/nx2/bootcode/bc201.bin "
                       "/var/opt/orvan/nicfw_backup/00112233AAB0.bc1.9.6.p8.3.5.bin\n"
                       "answers q\n" +
                           Reload0 +
                           "wrenflash 00112233AAB0 upgrade -mba /opt/orvan/nic_fw/nx2/pxe/pxe.bin "
                           "/var/opt/orvan/nicfw_backup/00112233AAB0.bc2.0.6.p8.3.5.bin\n"
                           "answers q\n" +
                           Reload0);
    EXPECT_EQ(pauses, (std::vector<unsigned>{10, 10}));
    EXPECT_TRUE(HasFlag(FlagUpdated));
    EXPECT_FALSE(HasFlag(FlagErrors));
    // The notice is not logged; the selecting and upgrading lines are.
    EXPECT_EQ(Log(), "\nSelecting Test Adapter 0 MAC: 00112233AAB0 \n"
                     "Upgrading Boot Code 1.9.6 to 2.0.1\n"
                     "Upgrading PXE 8.3.5 to 8.4.0\n");
}

TEST_F(Update, PxeAndClpWithoutBootCodeAnnounceTheAdapterTwice)
{
    installed[1].InstalledFlags = InstBootCodeVersion | InstPxeVersion;
    AcceptPxe(1, 8, 4, 0);
    AcceptClp(1, 3, 1, 2);
    const std::string heading = "\nSelecting Test Adapter 1 MAC: 00112233AAB1 \n";
    EXPECT_EQ(UpdateAdapter(1), Notice + heading + "Upgrading PXE 8.3.5 to 8.4.0\n" + heading +
                                    "Upgrading PXE 0.0.0 to CLP 3.1.2\n");
    EXPECT_NE(Trace().find("upgrade -mba /opt/orvan/nic_fw/nx2/clp/clp.bin "
                           "/var/opt/orvan/nicfw_backup/00112233AAB1.bc1.9.6.p0.0.0.bin"),
              std::string::npos);
}

TEST_F(Update, TheNoticeComesOnceForTheWholeRun)
{
    AcceptBootCode(0, 2, 0, 1);
    AcceptBootCode(2, 2, 0, 1);
    std::string first = UpdateAdapter(0);
    std::string second = UpdateAdapter(1) + UpdateAdapter(2);
    EXPECT_EQ(first.find(Notice), 0u);
    EXPECT_EQ(second.find(Notice), std::string::npos);
    EXPECT_EQ(second.find("\nSelecting Test Adapter 2"), 0u);
}

TEST_F(Update, BootCodeBackupNamesTheCompanionImage)
{
    struct Case {
        uint32_t Flags;
        const char* Suffix;
    } cases[] = {
        {SelPxeVersion | SelIpmiVersion | SelClpVersion, ".bc1.9.6.p8.3.5.bin"},
        {SelIpmiVersion | SelClpVersion, ".bc1.9.6.i0.0.bin"},
        {SelClpVersion, ".bc1.9.6.p3.1.0.bin"},
        {0, ".bc1.9.6.bin"},
    };
    installed[0].ClpMajor = 3;
    installed[0].ClpMinor = 1;
    for (const Case& c : cases) {
        std::remove(TracePath.c_str());
        selections[0] = {};
        AcceptBootCode(0, 2, 0, 1);
        selections[0].SelectionFlags |= c.Flags;
        UpdateAdapter(0);
        EXPECT_NE(Trace().find(std::string("/var/opt/orvan/nicfw_backup/00112233AAB0") + c.Suffix + "\n"),
                  std::string::npos)
            << c.Suffix << "\n"
            << Trace();
    }
}

TEST_F(Update, AShortMacIsPaddedAndQuotedInTheBackupName)
{
    std::strcpy(installed[0].MacText, "0011AABB");
    AcceptBootCode(0, 2, 0, 1);
    UpdateAdapter(0);
    EXPECT_NE(Trace().find("wrenflash 0011AABB upgrade -bc /opt/orvan/nic_fw/nx2/bootcode/bc201.bin "
                           "/var/opt/orvan/nicfw_backup/0011AABB    .bc1.9.6.bin\n"),
              std::string::npos)
        << Trace();
}

TEST_F(Update, HostileFieldsCannotInjectCommands)
{
    std::strcpy(installed[0].MacText, "1;touch /x");
    std::strcpy(installed[0].InterfaceName, "eth0;touch /var/opt/test/pwned");
    AcceptBootCode(0, 2, 0, 1);
    Confirm(0, ImageKind::BootCode, "/opt/a b$(touch /var/opt/test/pwned).bin");
    UpdateAdapter(0);
    EXPECT_FALSE(test::FileExists(Scratch + "/pwned"));
    EXPECT_NE(Trace().find("wrenflash 1;touch /x upgrade -bc /opt/a b$(touch /var/opt/test/pwned).bin "),
              std::string::npos)
        << Trace();
    EXPECT_NE(Trace().find("ifconfig eth0;touch /var/opt/test/pwned up\n"), std::string::npos);
}

TEST_F(Update, ForcedFormOnceForceIsSet)
{
    AcceptBootCode(0, 1, 9, 6);
    AcceptPxe(1, 8, 3, 5);
    SetFlag(FlagForceTool);
    UpdateAdapter(0);
    ClearFlag(FlagForceTool);
    SetFlag(FlagForce);
    UpdateAdapter(1);
    EXPECT_NE(Trace().find("wrenflash 00112233AAB0 upgrade -F -bc "), std::string::npos);
    EXPECT_NE(Trace().find("wrenflash 00112233AAB1 upgrade -F -mba "), std::string::npos);
}

TEST_F(Update, AFailedToolRunIsLoggedInDetailAndNotReloaded)
{
    ExitCode("wrenflash", 10);
    AcceptBootCode(0, 2, 0, 1);
    AcceptPxe(0, 8, 4, 0);
    console.Start();
    gRun.CurrentAdapter = 0;
    EXPECT_EQ(UpdateBootCode(), 10);
    EXPECT_EQ(UpdatePXE(), 10);
    std::string shown = console.Stop();
    EXPECT_EQ(shown, Notice +
                         "\nSelecting Test Adapter 0 MAC: 00112233AAB0 \nUpgrading Boot Code 1.9.6 to 2.0.1\n"
                         "ERROR: Upgrade of Test Adapter 0 MAC: 00112233AAB0 failed.\n"
                         "Upgrading PXE 8.3.5 to 8.4.0\n"
                         "ERROR: Upgrade of Test Adapter 0 MAC: 00112233AAB0 failed.\n");
    EXPECT_EQ(Trace().find("rmmod"), std::string::npos);
    EXPECT_TRUE(HasFlag(FlagErrors));
    EXPECT_FALSE(HasFlag(FlagUpdated));
    EXPECT_EQ(Log(), "\nSelecting Test Adapter 0 MAC: 00112233AAB0 \nUpgrading Boot Code 1.9.6 to 2.0.1\n"
                     "ERROR: Upgrade of Test Adapter 0 MAC: 00112233AAB0 failed with internal error a\n"
                     "Upgrading PXE 8.3.5 to 8.4.0\n"
                     "ERROR: Upgrade of Test Adapter 0 MAC: 00112233AAB0 failed with internal error a\n");
}

TEST_F(Update, AToolWhoseShellIsKilledHasFailed)
{
    test::WriteText("/usr/sbin/wrenflash", "#!/bin/sh\nkill -KILL $$\n");
    chmod("/usr/sbin/wrenflash", 0755);
    AcceptBootCode(0, 2, 0, 1);
    gRun.CurrentAdapter = 0;
    console.Start();
    EXPECT_EQ(UpdateBootCode(), 137);
    console.Stop();
    EXPECT_TRUE(HasFlag(FlagErrors));
    EXPECT_FALSE(HasFlag(FlagUpdated));
    EXPECT_NE(Log().find("failed with internal error 89\n"), std::string::npos);
}

TEST_F(Update, TheAnswersFileHoldsQAndIsLeftInPlace)
{
    test::WriteText("/usr/sbin/wrenflash", "#!/bin/sh\nreadlink /proc/self/fd/0 > " + Scratch + "/answers\n");
    chmod("/usr/sbin/wrenflash", 0755);
    gRun.CurrentAdapter = 0;
    EXPECT_EQ(RunFlashTool(ImageKind::Pxe, 0, "/x.bin", "/y.bin"), 0);
    std::string path = test::ReadText(Scratch + "/answers");
    ASSERT_FALSE(path.empty());
    path.pop_back();
    EXPECT_EQ(path.rfind("/tmp/file", 0), 0u) << path;
    EXPECT_EQ(path.size(), std::strlen("/tmp/fileXXXXXX"));
    EXPECT_EQ(test::ReadText(path), "q");
    std::remove(path.c_str());
}

TEST_F(Update, TheLogIsCompleteWhileTheToolRuns)
{
    test::WriteText("/usr/sbin/wrenflash",
                    "#!/bin/sh\ncat /var/opt/orvan/nicfwupg.log > " + Scratch + "/seen\n");
    chmod("/usr/sbin/wrenflash", 0755);
    AcceptBootCode(0, 2, 0, 1);
    UpdateAdapter(0);
    EXPECT_EQ(test::ReadText(Scratch + "/seen"),
              "\nSelecting Test Adapter 0 MAC: 00112233AAB0 \nUpgrading Boot Code 1.9.6 to 2.0.1\n");
}

// The image handed to the tool is the one confirmed: one that changed, was
// replaced or removed, or could not be read when offered, is not written;
// the run goes on with the next image and ends with errors.
TEST_F(Update, AnImageThatIsNotTheOneConfirmedIsNotWritten)
{
    const std::string image = "/opt/orvan/nic_fw/nx2/bootcode/bc201.bin";
    const std::string changed =
        "ERROR: Image " + image + " changed since it was confirmed; it was not written\n";
    const std::string unreadable = "ERROR: Image " + image + " cannot be read; it was not written\n";
    struct Case {
        const char* Name;
        std::function<void()> Change;
        std::string Error; // empty: written
    } cases[] = {
        {"unchanged", [] {}, ""},
        {"rewritten", [&] { test::WriteText(image, "other content of the same size" + image); }, changed},
        {"replaced",
         [&] {
             test::WriteText(image + ".new", "older image");
             std::rename((image + ".new").c_str(), image.c_str());
         },
         changed},
        {"removed", [&] { std::remove(image.c_str()); }, unreadable},
        {"unreadable when offered", [&] { selections[0].Identity[0] = {}; }, unreadable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::remove(TracePath.c_str());
        gRun.OptionFlags = FlagLogEnabled;
        selections[0] = {};
        AcceptBootCode(0, 2, 0, 1);
        AcceptPxe(0, 8, 4, 0);
        c.Change();
        const std::string shown = UpdateAdapter(0);
        const std::string upgrading = "Upgrading Boot Code 1.9.6 to 2.0.1\n";
        EXPECT_NE(shown.find(upgrading + c.Error + "Upgrading PXE"), std::string::npos) << shown;
        EXPECT_EQ(Trace().find("-bc ") != std::string::npos, c.Error.empty()) << Trace();
        EXPECT_NE(Trace().find("-mba "), std::string::npos) << "the next image is still written";
        EXPECT_EQ(HasFlag(FlagErrors), !c.Error.empty());
        EXPECT_NE(Log().find(upgrading + c.Error + "Upgrading PXE"), std::string::npos);
        std::remove(LogFilePath);
    }
}

struct BackupCase {
    const char* Name;
    std::vector<std::string> Files, Folders, Links; // in the backup folder
    std::vector<std::string> Handed;                // earlier in the run
    BackupChoice Choice;
    std::string Chosen;
    bool FolderIsAFile = false;
};

std::string BackupCaseName(const ::testing::TestParamInfo<BackupCase>& param) { return param.param.Name; }

class FreeBackupName : public Update, public ::testing::WithParamInterface<BackupCase> {};

const std::string Backups = "/var/opt/orvan/nicfw_backup/";

TEST_P(FreeBackupName, TakesTheFormedNameOrTheFirstFreeVariant)
{
    const BackupCase& c = GetParam();
    if (c.FolderIsAFile)
        test::WriteText(Backups.substr(0, Backups.size() - 1), "not a folder");
    else
        std::filesystem::create_directories(Backups);
    for (const std::string& name : c.Files)
        test::WriteText(Backups + name, "earlier backup");
    for (const std::string& name : c.Folders)
        std::filesystem::create_directories(Backups + name);
    for (const std::string& name : c.Links)
        std::filesystem::create_symlink("/var/opt/test/nowhere", Backups + name);
    BackupNames handed;
    for (const std::string& name : c.Handed)
        handed.push_back(name.front() == '/' ? name : Backups + name);
    const BackupNames before = handed;

    std::array<char, PathFieldSize> name{};
    std::snprintf(name.data(), name.size(), "%sM.bc1.9.6.bin", Backups.c_str());
    const std::string formed = name.data();
    EXPECT_EQ(ChooseBackupName(name, handed), c.Choice);
    if (c.Choice == BackupChoice::NoneFree) {
        EXPECT_EQ(name.data(), formed);
        EXPECT_EQ(handed, before);
        return;
    }
    EXPECT_EQ(name.data(), Backups + c.Chosen);
    BackupNames expected = before;
    expected.push_back(Backups + c.Chosen);
    EXPECT_EQ(handed, expected);
}

std::vector<std::string> AllVariantsHanded()
{
    std::vector<std::string> names = {"M.bc1.9.6.bin"};
    for (int i = 1; i <= MaxBackupVariant; ++i)
        names.push_back("M.bc1.9.6-" + std::to_string(i) + ".bin");
    return names;
}

INSTANTIATE_TEST_SUITE_P(
    Update, FreeBackupName,
    ::testing::Values(
        BackupCase{"Free", {}, {}, {}, {}, BackupChoice::Formed, "M.bc1.9.6.bin"},
        BackupCase{"OthersAround",
                   {"M.bc1.9.6-1.bin", "N.bc1.9.6.bin"},
                   {},
                   {},
                   {"M.bc1.9.7.bin"},
                   BackupChoice::Formed,
                   "M.bc1.9.6.bin"},
        BackupCase{"OnDisk", {"M.bc1.9.6.bin"}, {}, {}, {}, BackupChoice::Variant, "M.bc1.9.6-1.bin"},
        BackupCase{"HandedEarlier", {}, {}, {}, {"M.bc1.9.6.bin"}, BackupChoice::Variant, "M.bc1.9.6-1.bin"},
        BackupCase{"OnDiskAndVariantHanded",
                   {"M.bc1.9.6.bin"},
                   {},
                   {},
                   {"M.bc1.9.6-1.bin"},
                   BackupChoice::Variant,
                   "M.bc1.9.6-2.bin"},
        BackupCase{"DanglingLinks",
                   {},
                   {},
                   {"M.bc1.9.6.bin", "M.bc1.9.6-1.bin"},
                   {},
                   BackupChoice::Variant,
                   "M.bc1.9.6-2.bin"},
        BackupCase{"Folder", {}, {"M.bc1.9.6.bin"}, {}, {}, BackupChoice::Variant, "M.bc1.9.6-1.bin"},
        BackupCase{"EveryVariantTaken", {}, {}, {}, AllVariantsHanded(), BackupChoice::NoneFree, ""},
        // A name whose status cannot be read (its folder is a file) is taken.
        BackupCase{"StatusUnknown", {}, {}, {}, {}, BackupChoice::NoneFree, "", true}),
    BackupCaseName);

// A folder this user may not search hides nothing that the flashing tool,
// run as the same user, could overwrite: the formed name stays.
TEST_F(Update, ABackupFolderThisUserMayNotSearchLeavesTheFormedName)
{
    const std::string folder = "/var/opt/orvan/nicfw_backup";
    std::filesystem::create_directories(folder);
    test::WriteText(folder + "/M.bc1.9.6.bin", "earlier backup");
    chmod(folder.c_str(), 0700);
    std::array<char, PathFieldSize> name{};
    std::snprintf(name.data(), name.size(), "%s/M.bc1.9.6.bin", folder.c_str());
    BackupNames handed;
    if (seteuid(65534) != 0)
        GTEST_SKIP() << "no other user to be";
    const BackupChoice choice = ChooseBackupName(name, handed);
    ASSERT_EQ(seteuid(0), 0);
    EXPECT_EQ(choice, BackupChoice::Formed);
    EXPECT_EQ(name.data(), folder + "/M.bc1.9.6.bin");
}

struct ReloadCase {
    const char* Failing;
    const char* Commands;
    const char* Message;
};

std::string ReloadCaseName(const ::testing::TestParamInfo<ReloadCase>& param)
{
    return std::string(param.param.Failing) + "Fails";
}

class Reload : public Update, public ::testing::WithParamInterface<ReloadCase> {};

TEST_P(Reload, StopsAtTheFirstFailingCommand)
{
    const ReloadCase& c = GetParam();
    ExitCode(c.Failing, 3);
    gRun.CurrentAdapter = 0;
    console.Start();
    EXPECT_EQ(ReloadDriver(), 3);
    EXPECT_EQ(console.Stop(), c.Message);
    EXPECT_EQ(Trace(), c.Commands);
    EXPECT_TRUE(HasFlag(FlagErrors));
    EXPECT_EQ(Log(), c.Message);
    EXPECT_EQ(pauses.size(), std::string(c.Failing) == "ifconfig" ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Update, Reload,
    ::testing::Values(ReloadCase{"rmmod", "rmmod bnx2\n", "ERROR: Could not rmmod bnx2 after upgrade\n"},
                      ReloadCase{"modprobe", "rmmod bnx2\nmodprobe bnx2\n",
                                 "ERROR: Could not modprobe bnx2 after upgrade\n"},
                      ReloadCase{"ifconfig", "rmmod bnx2\nmodprobe bnx2\nifconfig eth0 up\n",
                                 "ERROR: Failed ifconfig ethx up\n"}),
    ReloadCaseName);

TEST_F(Update, AFailedReloadKeepsTheWriteCounted)
{
    ExitCode("rmmod", 1);
    AcceptBootCode(0, 2, 0, 1);
    UpdateAdapter(0);
    EXPECT_TRUE(HasFlag(FlagUpdated));
    EXPECT_TRUE(HasFlag(FlagErrors));
}

TEST_F(Update, BringUpStopsAtTheFirstInterfaceThatFails)
{
    // Fail only for eth1 (the recorder keys on the last argument, "up").
    test::WriteText("/usr/sbin/ifconfig", "#!/bin/sh\necho \"ifconfig $*\" >> " + TracePath +
                                              "\n[ \"$1\" = eth1 ] && exit 4\nexit 0\n");
    chmod("/usr/sbin/ifconfig", 0755);
    console.Start();
    EXPECT_EQ(BringUpInterfaces(), 4);
    EXPECT_EQ(console.Stop(), "ERROR: Failed ifconfig eth1 up\n");
    EXPECT_EQ(Trace(), "ifconfig eth0 up\nifconfig eth1 up\n");
    EXPECT_EQ(pauses, (std::vector<unsigned>{1}));
    EXPECT_FALSE(HasFlag(FlagErrors));
    EXPECT_EQ(Log(), "ERROR: Failed ifconfig eth1 up\n");
}

TEST_F(Update, BringUpRaisesEveryInterfaceAndPausesAfterEach)
{
    installed[2].InterfaceName[0] = '\0';
    console.Start();
    EXPECT_EQ(BringUpInterfaces(), 0);
    EXPECT_EQ(console.Stop(), "");
    // An empty interface name leaves the command as "ifconfig  up".
    EXPECT_EQ(Trace(), "ifconfig eth0 up\nifconfig eth1 up\nifconfig up\n");
    EXPECT_EQ(pauses, (std::vector<unsigned>{1, 1, 1}));
}

// ---------------------------------------------------------------------------
// The run lock

// Another process's hold, as a second run would have it: an open file
// description of its own, locked, and the record it wrote.
class OtherHolder {
public:
    explicit OtherHolder(const std::string& record)
        : fd_(open(RunLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    {
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        EXPECT_EQ(fcntl(fd_, F_OFD_SETLK, &lock), 0) << std::strerror(errno);
        EXPECT_EQ(ftruncate(fd_, 0), 0);
        EXPECT_EQ(pwrite(fd_, record.data(), record.size(), 0), static_cast<ssize_t>(record.size()));
    }
    ~OtherHolder() { close(fd_); }
    OtherHolder(const OtherHolder&) = delete;
    OtherHolder& operator=(const OtherHolder&) = delete;

private:
    int fd_;
};

pid_t EndedProcess()
{
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

// A refused run names the holder from its record, says when that process
// has ended (a command it started holds the lock), shows no control
// characters, and leaves the record as it was. Only ever refused here: this
// process never takes the lock itself.
TEST(RunLock, ARefusalNamesTheHolderAsItRecordedItself)
{
    std::remove(RunLockPath);
    EXPECT_EQ(CheckRunLock().State, LockState::Free);
    EXPECT_FALSE(test::FileExists(RunLockPath)) << "a check creates nothing";

    const std::string me = std::to_string(getpid());
    const std::string ended = std::to_string(EndedProcess());
    const std::string heldBy = "the lock /run/tidemark.lock is held by ";
    const std::string unknown = heldBy + "a process that has not recorded its pid";
    const struct {
        std::string Record, Expected;
    } cases[] = {
        {me + " tidemark\n", heldBy + "tidemark (pid " + me + ")"},
        {me + " tidemark-apply\n", heldBy + "tidemark-apply (pid " + me + ")"},
        {ended + " tidemark\n",
         heldBy + "a command that tidemark (pid " + ended + ", no longer running) started"},
        {me + " tide\x1b[2Jmark\n", heldBy + "tide?[2Jmark (pid " + me + ")"},
        {"", unknown},
        {"tidemark\n", unknown},
        {"-5 tidemark\n", unknown},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Record);
        OtherHolder holder(c.Record);
        const LockReport taken = TakeRunLock("tidemark");
        EXPECT_EQ(taken.State, LockState::Held);
        EXPECT_EQ(DescribeRunLock(taken), c.Expected);
        const LockReport checked = CheckRunLock();
        EXPECT_EQ(checked.State, LockState::Held);
        EXPECT_EQ(DescribeRunLock(checked), c.Expected);
        EXPECT_EQ(test::ReadText(RunLockPath), c.Record);
    }
    EXPECT_EQ(CheckRunLock().State, LockState::Free) << "the holder has let go";
}

} // namespace
