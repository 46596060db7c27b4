// Console and log channels, the command runner and the prompt. Each test
// process has its own empty /var/opt (see tests/sandbox/sandbox.sh).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "console/command.h"
#include "console/descriptors.h"
#include "console/output.h"
#include "console/prompt.h"
#include "test_support.h"

namespace {

const std::string LogDir = "/var/opt/orvan";

class Console : public ::testing::Test {
protected:
    void SetUp() override
    {
        gRun = {};
        LogClose();
        std::remove(LogFilePath);
        rmdir(LogDir.c_str());
    }
    void TearDown() override
    {
        LogClose();
        gRun = {};
    }
    static void MakeLogDir() { ASSERT_EQ(mkdir(LogDir.c_str(), 0755) == 0 || errno == EEXIST, true); }
    test::ConsoleCapture console;
};

TEST_F(Console, NothingIsLoggedBeforeLogResume)
{
    MakeLogDir();
    console.Start();
    Output("before %d\n", 1);
    EXPECT_EQ(console.Stop(), "before 1\n");
    EXPECT_FALSE(test::FileExists(LogFilePath));
}

TEST_F(Console, OutputGoesToLogAndConsoleAndSilentMutesOnlyTheConsole)
{
    MakeLogDir();
    console.Start();
    LogResume();
    Output("both\n");
    SetFlag(FlagSilent);
    Output("log only %s\n", "silent");
    log_write("typed\n");
    EXPECT_EQ(console.Stop(), "both\n");
    LogClose();
    EXPECT_EQ(test::ReadText(LogFilePath), "both\nlog only silent\ntyped\n");
}

TEST_F(Console, ConsoleOnlyAndReportedMessagesReachEachChannelOnce)
{
    MakeLogDir();
    console.Start();
    LogResume();
    Output("first\n");
    OutputConsoleOnly("notice %d\n", 7);
    ReportError("ERROR: %s\n", "failed");
    Output("last\n");
    EXPECT_EQ(console.Stop(), "first\nnotice 7\nERROR: failed\nlast\n");
    LogClose();
    EXPECT_EQ(test::ReadText(LogFilePath), "first\nERROR: failed\nlast\n");
    EXPECT_TRUE(HasFlag(FlagLogEnabled));
}

TEST_F(Console, LogCloseFlushesAndTheNextWriteAppends)
{
    MakeLogDir();
    test::WriteText(LogFilePath, "older run\n");
    console.Start();
    LogResume();
    Output("one\n");
    LogClose();
    EXPECT_FALSE(HasFlag(FlagLogOpen));
    EXPECT_EQ(test::ReadText(LogFilePath), "older run\none\n");
    Output("two\n");
    EXPECT_TRUE(HasFlag(FlagLogOpen));
    console.Stop();
    LogClose();
    EXPECT_EQ(test::ReadText(LogFilePath), "older run\none\ntwo\n");
}

TEST_F(Console, AMissingLogDirectoryKeepsTheConsoleAndIsNotRetriedUntilLogClose)
{
    console.Start();
    LogResume();
    Output("banner\n");
    EXPECT_TRUE(HasFlag(FlagLogOpen));
    MakeLogDir(); // appears now, but the failed state holds until LogClose
    Output("second\n");
    log_write("answer\n");
    EXPECT_FALSE(test::FileExists(LogFilePath));
    LogClose();
    Output("third\n");
    EXPECT_EQ(console.Stop(), "banner\nsecond\nthird\n");
    LogClose();
    EXPECT_EQ(test::ReadText(LogFilePath), "third\n");
}

TEST_F(Console, AMissingLogDirectoryUnderSilentShowsNothing)
{
    SetFlag(FlagSilent);
    console.Start();
    LogResume();
    Output("banner\n");
    EXPECT_EQ(console.Stop(), "");
}

// Closed standard descriptors are opened on /dev/null, so that a file opened
// later cannot take their place; open ones are left as they are.
TEST(StandardDescriptors, ClosedOnesAreOpenedOnDevNull)
{
    struct stat devNull {};
    ASSERT_EQ(stat("/dev/null", &devNull), 0);
    const std::vector<std::vector<int>> cases = {{0}, {1}, {2}, {1, 2}, {0, 1, 2}};
    for (const std::vector<int>& closed : cases) {
        std::fflush(stdout);
        int saved[3];
        struct stat before[3]{};
        for (int fd = 0; fd < 3; ++fd) {
            saved[fd] = dup(fd);
            fstat(fd, &before[fd]);
        }
        for (int fd : closed)
            close(fd);
        const bool opened = OpenClosedStandardDescriptors();
        struct stat after[3]{};
        int modes[3];
        for (int fd = 0; fd < 3; ++fd) {
            fstat(fd, &after[fd]);
            modes[fd] = fcntl(fd, F_GETFL) & O_ACCMODE;
        }
        // Checked once the test's own output is back.
        for (int fd = 0; fd < 3; ++fd) {
            dup2(saved[fd], fd);
            close(saved[fd]);
        }
        EXPECT_TRUE(opened);
        for (int fd = 0; fd < 3; ++fd) {
            const bool wasClosed = std::find(closed.begin(), closed.end(), fd) != closed.end();
            const struct stat& expected = wasClosed ? devNull : before[fd];
            EXPECT_EQ(after[fd].st_rdev, expected.st_rdev) << fd;
            EXPECT_EQ(after[fd].st_ino, expected.st_ino) << fd;
            if (wasClosed) {
                EXPECT_EQ(modes[fd], fd == 0 ? O_RDONLY : O_WRONLY) << fd;
            }
        }
    }
}

TEST(RunCommand, ReturnsTheShellsExitStatus)
{
    EXPECT_EQ(RunCommand("exit 0"), 0);
    EXPECT_EQ(RunCommand("exit 1"), 1);
    EXPECT_EQ(RunCommand("exit 10"), 10);
    EXPECT_EQ(RunCommand("exit 255"), 255);
    EXPECT_EQ(RunCommand("/nonexistent/command"), 127);
}

TEST(RunCommand, AShellKilledByASignalIsAFailure)
{
    EXPECT_EQ(RunCommand("kill -KILL $$"), 128 + 9);
    EXPECT_EQ(RunCommand("kill -TERM $$"), 128 + 15);
}

TEST(RunCommand, ConsoleTextWrittenBeforeTheCommandStandsBeforeItsOutput)
{
    test::ConsoleCapture console;
    console.Start();
    std::printf("before ");
    RunCommand("echo from-command");
    std::printf("after\n");
    EXPECT_EQ(console.Stop(), "before from-command\nafter\n");
}

// tidemark's own signal state does not reach a command: an ignored INT, a
// blocked TERM and an ignored CHLD (inherited from whatever started it).
// Commands run in a process group of their own, read /dev/null, and ignore
// SIGPIPE, so that a relayed console that is gone cannot end them.
TEST(RunCommand, CommandsStartInAGroupOfTheirOwnWithTheDefaultSignalState)
{
    struct sigaction savedInt {
    }, savedChld{};
    sigset_t term, savedMask;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigaction(SIGINT, nullptr, &savedInt);
    sigaction(SIGCHLD, nullptr, &savedChld);
    signal(SIGINT, SIG_IGN);
    signal(SIGCHLD, SIG_IGN);
    sigprocmask(SIG_BLOCK, &term, &savedMask);
    const struct {
        const char* Command;
        int Expected;
    } cases[] = {
        {"kill -INT $$; exit 1", 128 + SIGINT},
        {"kill -TERM $$; exit 1", 128 + SIGTERM},
        {"exit 7", 7},
        {"set -- $(cat /proc/$$/stat); [ \"$5\" = $$ ]", 0},
        {"[ \"$(readlink /proc/$$/fd/0)\" = /dev/null ]", 0},
        {"kill -PIPE $$; exit 5", 5},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RunCommand(c.Command), c.Expected) << c.Command;
    sigprocmask(SIG_SETMASK, &savedMask, nullptr);
    sigaction(SIGINT, &savedInt, nullptr);
    sigaction(SIGCHLD, &savedChld, nullptr);
}

TEST(RunCommand, CommandsInheritOnlyTheDescriptorHandedDown)
{
    const int kept = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int other = open("/dev/null", O_RDONLY); // not close-on-exec
    const std::string has = "[ -e /proc/$$/fd/";
    const std::string hasKept = has + std::to_string(kept) + " ]";
    const std::string hasOther = has + std::to_string(other) + " ]";
    InheritInCommands(kept);
    EXPECT_EQ(RunCommand(hasKept.c_str()), 0);
    EXPECT_EQ(RunCommand(hasOther.c_str()), 1);
    // Only the command's process gets it: tidemark's copy still closes on exec.
    EXPECT_EQ(fcntl(kept, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    InheritInCommands(-1);
    EXPECT_EQ(RunCommand(hasKept.c_str()), 1);
    close(kept);
    close(other);
}

// The command's output passes through tidemark: standard output to its
// standard output, standard error to its standard error, unchanged.
TEST(RunCommand, OutputAndErrorReachTidemarksOwn)
{
    test::ConsoleCapture out, err;
    err.Fd = 2;
    out.Start();
    err.Start();
    EXPECT_EQ(RunCommand("printf 'out\\r\\n'; printf 'err' >&2; printf 'out2'; exit 3"), 3);
    EXPECT_EQ(err.Stop(), "err");
    EXPECT_EQ(out.Stop(), "out\r\nout2");
}

// Something the command leaves running with its output open does not hold
// tidemark: it returns when the command itself has ended.
TEST(RunCommand, ReturnsWhenTheCommandEndsThoughItsOutputStaysOpen)
{
    const std::string go = "/var/opt/go", seen = "/var/opt/seen";
    std::remove(go.c_str());
    std::remove(seen.c_str());
    const std::string command = "( i=0; while [ ! -e " + go + " ] && [ $i -lt 100 ]; do sleep 0.1; " +
                                "i=$((i + 1)); done; [ -e " + go + " ] && echo go > " + seen +
                                " || echo timeout > " + seen + " ) & exit 4";
    EXPECT_EQ(RunCommand(command.c_str()), 4);
    test::WriteText(go, "");
    std::string result;
    for (int i = 0; i < 200 && result.empty(); ++i) {
        usleep(50000);
        result = test::ReadText(seen);
    }
    EXPECT_EQ(result, "go\n");
}

TEST(ShellWord, OrdinaryFieldsStayAsTheyAreAndOthersAreQuoted)
{
    EXPECT_EQ(ShellWord(""), "");
    EXPECT_EQ(ShellWord("eth0"), "eth0");
    EXPECT_EQ(ShellWord("/opt/orvan/nic_fw/nx2/bootcode/b-2.0.1_x.bin"),
              "/opt/orvan/nic_fw/nx2/bootcode/b-2.0.1_x.bin");
    EXPECT_EQ(ShellWord("a:b=c@d%e+f,g"), "a:b=c@d%e+f,g");
    EXPECT_EQ(ShellWord("0011AABB    .bc1.bin"), "'0011AABB    .bc1.bin'");
    EXPECT_EQ(ShellWord("x;reboot"), "'x;reboot'");
    EXPECT_EQ(ShellWord("it's"), "'it'\\''s'");
    EXPECT_EQ(ShellWord("$(id)`id`"), "'$(id)`id`'");
}

TEST(ShellWord, QuotedFieldsReachTheCommandAsOneUnchangedWord)
{
    test::ConsoleCapture console;
    console.Start();
    std::string command = "printf '[%s]' " + ShellWord("a b;'c'$(x)") + " " + ShellWord("");
    RunCommand(command.c_str());
    // The empty field adds no word at all, as it did before quoting.
    EXPECT_EQ(console.Stop(), "[a b;'c'$(x)]");
}

class Prompt : public Console {};

TEST_F(Prompt, AnswerWordsAreMatchedExactly)
{
    struct Case {
        const char* Typed;
        int Expected;
    } cases[] = {
        {"y\n", AnswerYes},     {"yes\n", AnswerYes},   {"Y\n", AnswerYes},  {"Yes\n", AnswerYes},
        {"YES\n", AnswerYes},   {"q\n", AnswerQuit},    {"Q\n", AnswerQuit}, {"Quit\n", AnswerQuit},
        {"QUIT\n", AnswerQuit}, {"quit\n", AnswerQuit}, {"n\n", AnswerNo},   {"no\n", AnswerNo},
        {"yES\n", AnswerNo},    {"Yes \n", AnswerNo},   {" y\n", AnswerNo},  {"qq\n", AnswerNo},
        {"QUIt\n", AnswerNo},   {"x\n", AnswerNo},
    };
    for (const Case& c : cases) {
        test::FeedStdin(c.Typed);
        console.Start();
        int answer = AskYesNoQuit("Update X", AnswerNo, AnswerYes, AnswerNo, "n");
        console.Stop();
        EXPECT_EQ(answer, c.Expected) << c.Typed;
    }
}

TEST_F(Prompt, AnEmptyLineTakesTheDefault)
{
    test::FeedStdin("\n\n");
    console.Start();
    EXPECT_EQ(AskYesNoQuit("Update A", AnswerYes, AnswerYes, AnswerYes, "y"), AnswerYes);
    EXPECT_EQ(AskYesNoQuit("Update B", AnswerNo, AnswerYes, AnswerNo, "n"), AnswerNo);
    EXPECT_EQ(console.Stop(), "Update A y/n/q (y):Update B y/n/q (n):");
}

TEST_F(Prompt, ALastAnswerWithoutLineEndIsJudgedAsTyped)
{
    test::FeedStdin("n");
    console.Start();
    EXPECT_EQ(AskYesNoQuit("Update A", AnswerYes, AnswerYes, AnswerYes, "y"), AnswerNo);
    console.Stop();
    test::FeedStdin("y");
    console.Start();
    EXPECT_EQ(AskYesNoQuit("Update B", AnswerNo, AnswerYes, AnswerNo, "n"), AnswerYes);
    console.Stop();
}

TEST_F(Prompt, EndOfInputQuits)
{
    MakeLogDir();
    LogResume();
    test::FeedStdin("");
    console.Start();
    EXPECT_EQ(AskYesNoQuit("Update A", AnswerYes, AnswerYes, AnswerYes, "y"), AnswerQuit);
    EXPECT_EQ(console.Stop(), "Update A y/n/q (y):Unknown input problem!\nQuit...\n");
    LogClose();
    EXPECT_EQ(test::ReadText(LogFilePath), "Update A y/n/q (y):Unknown input problem!\nQuit...\n");
}

TEST_F(Prompt, TheLogHoldsEachQuestionWithItsAnswerOnOneLine)
{
    MakeLogDir();
    LogResume();
    test::FeedStdin("yes\nn\n");
    console.Start();
    AskYesNoQuit("Update A", AnswerYes, AnswerYes, AnswerYes, "y");
    AskYesNoQuit("Update 100% B", AnswerYes, AnswerYes, AnswerYes, "y");
    EXPECT_EQ(console.Stop(), "Update A y/n/q (y):Update 100% B y/n/q (y):");
    LogClose();
    EXPECT_EQ(test::ReadText(LogFilePath), "Update A y/n/q (y):yes\nUpdate 100% B y/n/q (y):n\n");
}

TEST_F(Prompt, AnOverlongAnswerIsCutAndItsRestDoesNotAnswerTheNextQuestion)
{
    MakeLogDir();
    LogResume();
    const std::string longLine = std::string(79, 'x') + "q";
    test::FeedStdin(longLine + "\nq\n");
    console.Start();
    EXPECT_EQ(AskYesNoQuit("Update A", AnswerYes, AnswerYes, AnswerYes, "y"), AnswerNo);
    EXPECT_EQ(AskYesNoQuit("Update B", AnswerYes, AnswerYes, AnswerYes, "y"), AnswerQuit);
    console.Stop();
    LogClose();
    EXPECT_EQ(test::ReadText(LogFilePath),
              "Update A y/n/q (y):" + std::string(79, 'x') + "\nUpdate B y/n/q (y):q\n");
}

TEST_F(Prompt, SilentAndDefaultModesAnswerWithoutAsking)
{
    MakeLogDir();
    LogResume();
    test::FeedStdin("q\n");
    console.Start();
    SetFlag(FlagSilent);
    EXPECT_EQ(AskYesNoQuit("Q", AnswerNo, AnswerYes, AnswerNo, "n"), AnswerNo);
    SetFlag(FlagForce);
    EXPECT_EQ(AskYesNoQuit("Q", AnswerNo, AnswerYes, AnswerNo, "n"), AnswerYes);
    SetFlag(FlagAssumeDefault); // silent is tested first
    EXPECT_EQ(AskYesNoQuit("Q", AnswerNo, AnswerYes, AnswerNo, "n"), AnswerYes);
    ClearFlag(FlagSilent | FlagForce);
    EXPECT_EQ(AskYesNoQuit("Q", AnswerNo, AnswerYes, AnswerNo, "n"), AnswerNo);
    EXPECT_EQ(AskYesNoQuit("Q", AnswerYes, AnswerYes, AnswerYes, "y"), AnswerYes);
    EXPECT_EQ(console.Stop(), "");
    LogClose();
    EXPECT_FALSE(test::FileExists(LogFilePath) && !test::ReadText(LogFilePath).empty());
    // The typed line was never read.
    EXPECT_EQ(std::getchar(), 'q');
}

TEST_F(Prompt, AnOverlongQuestionIsCutTo79Characters)
{
    test::FeedStdin("\n");
    console.Start();
    AskYesNoQuit(std::string(100, 'Q').c_str(), AnswerYes, AnswerYes, AnswerYes, "y");
    EXPECT_EQ(console.Stop(), std::string(79, 'Q'));
}

} // namespace
