#include "harness.h"

#include <elf.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace systest {

namespace fs = std::filesystem;

namespace {

// A run that takes longer than this is stuck (the stand-ins and the sleep
// recorder return at once).
constexpr int RunTimeoutSeconds = 60;

const char* const SanitizerMarks[] = {
    "ERROR: AddressSanitizer",
    "ERROR: LeakSanitizer",
    "runtime error:",
    "WARNING: AddressSanitizer",
};

// Single-quotes a text for a /bin/sh script.
std::string ShellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += "'";
    return quoted;
}

// Written beside and renamed into place: a stand-in that a run started
// earlier still executes keeps reading the file it began with.
void WriteScript(const std::string& path, const std::string& body)
{
    const std::string fresh = path + ".new";
    {
        std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
        out << "#!/bin/sh\n" << body;
    }
    ::chmod(fresh.c_str(), 0755);
    if (::rename(fresh.c_str(), path.c_str()) != 0)
        ADD_FAILURE() << "cannot put " << path << " in place: " << std::strerror(errno);
}

void WriteTextFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        ADD_FAILURE() << "cannot write " << path;
}

// Opens a world-writable tree, so that a run under another user id can
// traverse it and write its log and trace.
void OpenUpTree(const std::string& root)
{
    std::error_code ec;
    ::chmod(root.c_str(), 0777);
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const auto mode = it->is_directory(ec) ? 0777 : 0666;
        const bool executable = (it->status(ec).permissions() & fs::perms::owner_exec) != fs::perms::none;
        ::chmod(it->path().c_str(), executable ? 0777 : mode);
    }
}

// Where ROOT is bind-mounted inside the sandbox for runs as another user:
// below /usr/sbin, which the sandbox mounts from ROOT/usrsbin, so that no
// folder on the way is closed to that user.
const std::string OtherUserRoot = "/usr/sbin/.tidemark-test-root";

// The dynamic loader a binary names (PT_INTERP); empty when it names none.
std::string ElfInterpreter(const std::string& path)
{
    const std::string image = ReadText(path);
    Elf64_Ehdr header{};
    if (image.size() < sizeof header)
        return "";
    std::memcpy(&header, image.data(), sizeof header);
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment{};
        const size_t at = header.e_phoff + size_t{i} * header.e_phentsize;
        if (at + sizeof segment > image.size())
            return "";
        std::memcpy(&segment, image.data() + at, sizeof segment);
        if (segment.p_type == PT_INTERP && segment.p_offset + segment.p_filesz <= image.size())
            return std::string(image.data() + segment.p_offset).substr(0, segment.p_filesz);
    }
    return "";
}

// Copies the program, the adapter library and the sleep recorder to
// ROOT/share and points program at the copies as OtherUserRoot shows them
// (with the recorder preloaded when asked).
// The program is started through its dynamic loader, which takes the
// library from there: the program's own search path leads into the build
// tree, and a loader ignores LD_LIBRARY_PATH when real and effective user
// ids differ.
bool ShareProgram(const std::string& root, const std::string& binary, bool preload,
                  std::vector<std::string>& program)
{
    const std::string share = root + "/share/";
    const std::string seen = OtherUserRoot + "/share/";
    const std::string recorder = fs::path(SLEEP_RECORDER_LIB).filename().string();
    std::error_code ec;
    fs::create_directories(share, ec);
    fs::create_directories(root + "/usrsbin/" + fs::path(OtherUserRoot).filename().string(), ec);
    const std::string name = fs::path(binary).filename().string();
    const std::pair<std::string, std::string> copies[] = {
        {binary, name}, {BMAPI_LIB, BMAPI_SONAME}, {SLEEP_RECORDER_LIB, recorder}};
    for (const auto& [from, copy] : copies) {
        fs::copy_file(from, share + copy, fs::copy_options::overwrite_existing, ec);
        if (ec) {
            ADD_FAILURE() << "cannot copy " << from << ": " << ec.message();
            return false;
        }
        ::chmod((share + copy).c_str(), 0755);
    }
    const std::string loader = ElfInterpreter(binary);
    if (loader.empty()) {
        ADD_FAILURE() << "no dynamic loader named in " << binary;
        return false;
    }
    program = {loader, "--library-path", seen, seen + name};
    if (preload)
        program.insert(program.begin(), {"/usr/bin/env", "LD_PRELOAD=" + seen + recorder});
    return true;
}

// Variables a loader drops when real and effective user ids differ. Started
// by hand, the loader asserts instead of dropping them (glibc 2.36), so such
// runs leave them out beforehand.
bool DroppedWhenIdsDiffer(std::string_view name)
{
    constexpr std::string_view dropped[] = {
        "GCONV_PATH", "GETCONF_DIR", "GLIBC_TUNABLES",   "HOSTALIASES", "LOCALDOMAIN", "LOCPATH",
        "NIS_PATH",   "NLSPATH",     "RESOLV_HOST_CONF", "RES_OPTIONS", "TMPDIR",      "TZDIR"};
    if (name.substr(0, 3) == "LD_" || name.substr(0, 7) == "MALLOC_")
        return true;
    for (std::string_view entry : dropped)
        if (name == entry)
            return true;
    return false;
}

std::vector<std::string> BuildEnvironment(const std::string& fleet, const std::string& trace, bool otherUser,
                                          bool idsDiffer)
{
    std::vector<std::string> env;
    std::string asanOptions;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view item(*entry);
        const auto name = item.substr(0, item.find('='));
        if (name == "BMAPI_SIM_DIR" || name == "TIDEMARK_TEST_TRACE" || name == "LD_PRELOAD")
            continue;
        if (idsDiffer && DroppedWhenIdsDiffer(name))
            continue;
        if (name == "ASAN_OPTIONS") {
            asanOptions = std::string(item.substr(item.find('=') + 1));
            continue;
        }
        env.emplace_back(item);
    }
    // The preloaded sleep recorder would otherwise trip ASan's link-order check.
    if (!asanOptions.empty())
        asanOptions += ":";
    asanOptions += "verify_asan_link_order=0";
    // A process whose user ids differ is not dumpable, and the leak checker
    // then dies at exit instead of checking.
    if (otherUser)
        asanOptions += ":detect_leaks=0";
    env.push_back("ASAN_OPTIONS=" + asanOptions);
    env.push_back("BMAPI_SIM_DIR=" + fleet);
    env.push_back("TIDEMARK_TEST_TRACE=" + trace);
    return env;
}

std::vector<char*> CStrings(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (auto& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

double Now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

} // namespace

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Root of the machine, not the mapped root of an unprivileged sandbox (whose
// user namespace maps only the one user, so no other user id exists there).
bool RunningAsRoot()
{
    if (::getuid() != 0)
        return false;
    std::istringstream map(ReadText("/proc/self/uid_map"));
    unsigned long inside = 1, outside = 1, count = 0;
    map >> inside >> outside >> count;
    return inside == 0 && outside == 0 && count == 4294967295UL;
}

bool SanitizedBinary()
{
    static const bool sanitized = ReadText(TIDEMARK_BIN).find("__asan_init") != std::string::npos;
    return sanitized;
}

void SystemTest::SetUp()
{
    std::string tmpl = (fs::temp_directory_path() / "tidemark-systest.XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr) << std::strerror(errno);
    Root = tmpl;
    ::chmod(Root.c_str(), 0755);
    FleetDir = Root + "/fleet";
    CatalogDir = Root + "/opt/orvan/nic_fw/nx2";
    LogDir = Root + "/varopt/orvan";
    LogPath = LogDir + "/nicfwupg.log";
    TracePath = Root + "/trace";
    for (const char* kind : {"bootcode", "pxe", "clp"})
        fs::create_directories(CatalogDir + "/" + kind);
    fs::create_directories(LogDir);
    fs::create_directories(Root + "/usrsbin");
    // Made here, so that runs as another user find it opened up too.
    fs::create_directories(Root + "/run");
    fs::create_directories(FleetDir);
    Library.Trace = true;
}

void SystemTest::TearDown()
{
    if (Root.empty())
        return;
    if (HasFailure()) {
        std::printf("[ sandbox  ] kept %s\n", Root.c_str());
        return;
    }
    std::error_code ec;
    fs::remove_all(Root, ec);
}

sim::NvramSpec SystemTest::MakeNvram(int index, sim::OptionRom rom)
{
    sim::NvramSpec nvram;
    nvram.BootCodeMajor = 1;
    nvram.BootCodeMinor = 9;
    nvram.BootCodeBuild = 6;
    const uint8_t mac[6] = {0x02, 0xA0, 0xB0, 0xC0, 0xD0, static_cast<uint8_t>(index)};
    std::memcpy(nvram.Mac, mac, sizeof mac);
    nvram.VendorId = 0x5A17;
    nvram.DeviceId = static_cast<uint16_t>(0x2001 + index);
    nvram.SubsystemVendorId = 0x5A17;
    nvram.SubsystemId = static_cast<uint16_t>(0x0100 + index);
    nvram.Rom = rom;
    nvram.RomMajor = 8;
    nvram.RomMinor = 3;
    nvram.RomBuild = 5;
    return nvram;
}

sim::AdapterSpec SystemTest::MakeAdapter(int index, sim::OptionRom rom)
{
    const sim::NvramSpec nvram = MakeNvram(index, rom);
    sim::AdapterSpec spec;
    char text[64];
    std::snprintf(text, sizeof text, "Orvan Gigabit Ethernet (eth%d)", index);
    spec.Description = text;
    std::snprintf(text, sizeof text, "Orvan NX2 Gigabit Adapter %d", index);
    spec.Name = text;
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", nvram.Mac[0], nvram.Mac[1], nvram.Mac[2],
                  nvram.Mac[3], nvram.Mac[4], nvram.Mac[5]);
    spec.Mac = text;
    spec.VendorId = nvram.VendorId;
    spec.DeviceId = nvram.DeviceId;
    spec.SubsystemVendorId = nvram.SubsystemVendorId;
    spec.SubsystemId = nvram.SubsystemId;
    std::snprintf(text, sizeof text, "adapter%02d.nvram", index);
    spec.NvramFile = text;
    spec.Handle = 100 + static_cast<uint32_t>(index);
    return spec;
}

void SystemTest::AddAdapter(sim::AdapterSpec spec)
{
    if (spec.FileName.empty()) {
        char name[32];
        std::snprintf(name, sizeof name, "adapter%02d.conf", nextAdapterFile_);
        spec.FileName = name;
    }
    ++nextAdapterFile_;
    ASSERT_TRUE(sim::WriteAdapter(FleetDir, spec)) << "cannot write adapter " << spec.FileName;
}

sim::AdapterSpec SystemTest::AddStandardAdapter(int index, sim::OptionRom rom)
{
    sim::AdapterSpec spec = MakeAdapter(index, rom);
    AddNvram(spec.NvramFile, sim::BuildNvramImage(MakeNvram(index, rom)));
    AddAdapter(spec);
    return spec;
}

std::string SystemTest::AddNvram(const std::string& name, const std::vector<uint8_t>& bytes)
{
    EXPECT_TRUE(sim::WriteFile(FleetDir + "/" + name, bytes)) << "cannot write " << name;
    return name;
}

void SystemTest::WriteCatalogFile(const std::string& kind, const std::string& text)
{
    WriteTextFile(CatalogDir + "/" + kind + "/" + kind + ".info", text);
}

void SystemTest::WriteCatalogImage(const std::string& kind, const std::string& name,
                                   const std::vector<uint8_t>& bytes)
{
    EXPECT_TRUE(sim::WriteFile(CatalogDir + "/" + kind + "/" + name, bytes));
}

void SystemTest::RemoveLogDirectory()
{
    std::error_code ec;
    fs::remove_all(LogDir, ec);
}

void SystemTest::WriteLog(const std::string& text)
{
    fs::create_directories(LogDir);
    WriteTextFile(LogPath, text);
}

void SystemTest::WriteStandIns(const std::string& seenRoot)
{
    const std::string bin = Root + "/usrsbin/";
    const std::string trace = ShellQuote(seenRoot + "/trace");
    auto recorder = [&](const std::string& name, int code, int failingCall) {
        std::string body = "printf '%s\\n' \"" + name + " $*\" >> " + trace + "\n";
        if (failingCall > 0)
            body += "[ \"$(grep -c '^" + name + " ' " + trace + ")\" = " + std::to_string(failingCall) +
                    " ] && exit 1\n";
        WriteScript(bin + name, body + "exit " + std::to_string(code) + "\n");
    };
    recorder("rmmod", Tools.Rmmod, Tools.RmmodFailingCall);
    recorder("modprobe", Tools.Modprobe, Tools.ModprobeFailingCall);

    std::string ifconfig = "printf '%s\\n' \"ifconfig $*\" >> " + trace + "\ncase \"$1\" in\n";
    for (const auto& [name, code] : Tools.IfconfigByName)
        ifconfig += "  " + ShellQuote(name) + ") exit " + std::to_string(code) + " ;;\n";
    ifconfig += "esac\nexit " + std::to_string(Tools.Ifconfig) + "\n";
    WriteScript(bin + "ifconfig", ifconfig);

    std::error_code ec;
    fs::remove(bin + "wrenflash", ec);
    if (Tools.RealWrenflash) {
        fs::copy_file(WRENFLASH_SIM_BIN, bin + "wrenflash", fs::copy_options::overwrite_existing, ec);
        EXPECT_FALSE(ec) << "cannot install " << WRENFLASH_SIM_BIN << ": " << ec.message();
        ::chmod((bin + "wrenflash").c_str(), 0755);
    } else {
        // The answers file arrives as standard input: record where it lies
        // and what it holds. Every argument also goes to its own line of
        // ROOT/wrenflash.argv, so that word splitting can be checked.
        std::string body = "printf '%s\\n' \"wrenflash $*\" >> " + trace + "\n" +
                           "printf 'answers %s %s\\n' \"$(readlink /proc/self/fd/0)\" \"$(cat)\" >> " +
                           trace + "\n" + "{ printf 'argc %s\\n' \"$#\"; printf '[%s]\\n' \"$@\"; } >> " +
                           ShellQuote(seenRoot + "/wrenflash.argv") + "\n";
        if (Tools.WrenflashWaits)
            body += ": > " + ShellQuote(seenRoot + "/wrenflash.started") + "\nn=0\nwhile [ ! -e " +
                    ShellQuote(seenRoot + "/wrenflash.go") + " ] && [ $n -lt " +
                    std::to_string(StandInWaitLimit * 20) + " ]; do sleep 0.05; n=$((n + 1)); done\n";
        if (!Tools.WrenflashOutput.empty())
            body += "printf '%s' " + ShellQuote(Tools.WrenflashOutput) + "\n";
        if (Tools.WrenflashWaits)
            body += "printf 'wrenflash done\\n' >> " + trace + "\n";
        if (Tools.WrenflashKillsShell != 0) {
            // Only a shell parent is killed: a shell that execs the tool
            // directly makes the tool itself the one to end.
            const std::string sig = std::to_string(Tools.WrenflashKillsShell);
            if (!Tools.WrenflashKillsFor.empty())
                body += "[ \"$1\" = " + ShellQuote(Tools.WrenflashKillsFor) + " ] &&\n";
            body += "case \"$(cat /proc/$PPID/comm)\" in\n"
                    "  sh|dash|bash) kill -" +
                    sig +
                    " $PPID; exit 0 ;;\n"
                    "  *) kill -" +
                    sig +
                    " $$ ;;\n"
                    "esac\n";
        }
        body += "case \"$1\" in\n";
        for (const auto& [mac, code] : Tools.WrenflashByMac)
            body += "  " + ShellQuote(mac) + ") exit " + std::to_string(code) + " ;;\n";
        body += "esac\nexit " + std::to_string(Tools.Wrenflash) + "\n";
        WriteScript(bin + "wrenflash", body);
    }
}

RunResult SystemTest::RunWithInput(const std::vector<std::string>& args, const std::string& input)
{
    RunOptions options;
    options.Stdin = InputKind::Text;
    options.Input = input;
    return Run(args, options);
}

RunResult SystemTest::Run(const std::vector<std::string>& args, const RunOptions& options)
{
    StartedRun run = Start(args, options);
    return Finish(run);
}

StartedRun SystemTest::Start(const std::vector<std::string>& args, const RunOptions& options)
{
    StartedRun run;
    if (!sim::WriteLibrary(FleetDir, Library)) {
        ADD_FAILURE() << "cannot write the library file";
        return run;
    }
    const bool otherUser = options.RealUid || options.EffectiveUid;
    const bool idsDiffer = options.RealUid.value_or(0) != options.EffectiveUid.value_or(0);
    // A run as another user sees ROOT where that user can reach it, whatever
    // folder the checkout lies in.
    const std::string seenRoot = otherUser ? OtherUserRoot : Root;
    WriteStandIns(seenRoot);

    std::vector<std::string> argv = {"/bin/sh", SANDBOX_SCRIPT, "--root", Root};
    // Preloaded into the program only, not into the sandbox's own tools.
    const std::string binary = options.Program.empty() ? std::string(TIDEMARK_BIN) : options.Program;
    std::vector<std::string> program = {"/usr/bin/env", std::string("LD_PRELOAD=") + SLEEP_RECORDER_LIB,
                                        binary};
    if (otherUser) {
        // With real and effective ids apart the loader would drop the
        // preload anyway, and this loader trips over dropping it.
        if (!ShareProgram(Root, binary, !idsDiffer, program))
            return run;
        OpenUpTree(Root);
        argv.insert(argv.end(), {"/bin/sh", "-c", "mount --bind \"$1\" \"$2\" && shift 2 && exec \"$@\"",
                                 "sandbox-share", Root, OtherUserRoot});
        const uid_t real = options.RealUid.value_or(0);
        const uid_t effective = options.EffectiveUid.value_or(0);
        const std::string gid = std::to_string(real);
        argv.insert(argv.end(), {"/usr/bin/setpriv", "--ruid", std::to_string(real), "--euid",
                                 std::to_string(effective), "--rgid", gid, "--egid", gid, "--clear-groups"});
    }
    argv.insert(argv.end(), program.begin(), program.end());
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env =
        BuildEnvironment(seenRoot + "/fleet", seenRoot + "/trace", otherUser, idsDiffer);
    if (options.HoldPause != 0) {
        env.push_back("TIDEMARK_TEST_HOLD_PAUSE=" + std::to_string(options.HoldPause));
        env.push_back("TIDEMARK_TEST_PAUSE_MARK=" + seenRoot + "/pause.held");
    }

    int outPipe[2], errPipe[2], inPipe[2] = {-1, -1};
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    switch (options.Steps.empty() ? options.Stdin : InputKind::Text) {
    case InputKind::Text:
        if (::pipe2(inPipe, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
            return run;
        }
        posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
        break;
    case InputKind::DevNull: posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0); break;
    case InputKind::Closed: posix_spawn_file_actions_addclose(&actions, 0); break;
    }
    if (options.StdoutClosed)
        posix_spawn_file_actions_addclose(&actions, 1);
    else
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Own process group, so that a stuck run can be ended as a whole, and a
    // test can signal the group as a terminal or a job controller would.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);

    auto argvPointers = CStrings(argv);
    auto envPointers = CStrings(env);
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, argv[0].c_str(), &actions, &attributes, argvPointers.data(), envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (inPipe[0] >= 0)
        ::close(inPipe[0]);
    if (spawned != 0) {
        ADD_FAILURE() << "posix_spawn: " << std::strerror(spawned);
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        if (inPipe[1] >= 0)
            ::close(inPipe[1]);
        return run;
    }
    run.Pid = pid;
    run.OutFd = outPipe[0];
    run.ErrFd = errPipe[0];
    run.InFd = inPipe[1];
    run.Input = options.Input;
    run.Steps = options.Steps;
    if (run.InFd >= 0 && run.Input.empty() && run.Steps.empty()) {
        ::close(run.InFd);
        run.InFd = -1;
    }
    return run;
}

void SystemTest::CloseConsole(StartedRun& run)
{
    if (run.OutFd >= 0)
        ::close(run.OutFd);
    run.OutFd = -1;
}

RunResult SystemTest::Finish(StartedRun& run, int expectedSignal)
{
    RunResult result;
    if (run.Pid < 0)
        return result;
    // A program that stops reading its input must not kill the harness.
    ::signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    int& inFd = run.InFd;
    int& outFd = run.OutFd;
    int& errFd = run.ErrFd;
    size_t nextStep = 0, searchFrom = 0;
    // Input ends once everything is typed and no step is left to answer.
    auto closeInputWhenDone = [&] {
        if (inFd >= 0 && written == run.Input.size() && nextStep == run.Steps.size()) {
            ::close(inFd);
            inFd = -1;
        }
    };
    // Takes the steps whose prompts the output shows by now.
    auto takeSteps = [&] {
        for (; nextStep < run.Steps.size(); ++nextStep) {
            const Step& step = run.Steps[nextStep];
            const size_t at = result.Out.find(step.Prompt, searchFrom);
            if (at == std::string::npos)
                return;
            searchFrom = at + step.Prompt.size();
            if (step.Action)
                step.Action();
            if (step.Signal != 0) {
                ::kill(-run.Pid, step.Signal);
                expectedSignal = step.Signal;
            }
            run.Input += step.Answer;
        }
    };
    const double deadline = Now() + RunTimeoutSeconds;
    bool timedOut = false;
    // A program whose console went away is read until it ends.
    while (outFd >= 0 || errFd >= 0) {
        pollfd fds[3];
        int count = 0;
        int outIdx = -1, errIdx = -1, inIdx = -1;
        if (outFd >= 0) {
            fds[count] = {outFd, POLLIN, 0};
            outIdx = count++;
        }
        if (errFd >= 0) {
            fds[count] = {errFd, POLLIN, 0};
            errIdx = count++;
        }
        if (inFd >= 0 && written < run.Input.size()) {
            fds[count] = {inFd, POLLOUT, 0};
            inIdx = count++;
        }
        const int ready = ::poll(fds, count, 1000);
        if (Now() > deadline) {
            timedOut = true;
            ::kill(-run.Pid, SIGKILL);
            break;
        }
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        char buffer[65536];
        auto drain = [&](int idx, int& fd, std::string& sink) {
            if (idx < 0 || fds[idx].revents == 0)
                return;
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                sink.append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fd);
                fd = -1;
            }
        };
        drain(outIdx, outFd, result.Out);
        drain(errIdx, errFd, result.Err);
        takeSteps();
        if (inIdx >= 0 && fds[inIdx].revents != 0) {
            const ssize_t n = (fds[inIdx].revents & POLLOUT)
                                  ? ::write(inFd, run.Input.data() + written, run.Input.size() - written)
                                  : -1;
            if (n > 0)
                written += static_cast<size_t>(n);
            if (n < 0) {
                ::close(inFd);
                inFd = -1;
            }
        }
        closeInputWhenDone();
    }
    for (int* fd : {&outFd, &errFd, &inFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }

    int status = 0;
    while (::waitpid(run.Pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.Pid = -1;
    if (WIFEXITED(status))
        result.Status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.Signal = WTERMSIG(status);

    if (timedOut)
        ADD_FAILURE() << "tidemark did not end within " << RunTimeoutSeconds << " s";
    if (nextStep < run.Steps.size())
        ADD_FAILURE() << "tidemark never showed " << run.Steps[nextStep].Prompt << "\nstdout:\n"
                      << result.Out;
    EXPECT_EQ(result.Signal, expectedSignal) << "tidemark ended by signal " << result.Signal << "\nstderr:\n"
                                             << result.Err;
    for (const char* mark : SanitizerMarks)
        EXPECT_EQ(result.Err.find(mark), std::string::npos) << "sanitizer report:\n" << result.Err;
    return result;
}

bool SystemTest::WaitUntil(const std::function<bool()>& done)
{
    const double deadline = Now() + StandInWaitLimit;
    while (!done()) {
        if (Now() > deadline)
            return false;
        ::usleep(20000);
    }
    return true;
}

bool SystemTest::WaitForFile(const std::string& path) const
{
    return WaitUntil([&] { return fs::exists(path); });
}

void SystemTest::ReleaseTool() const { WriteTextFile(ToolGoPath(), ""); }

void SystemTest::ClearRecords()
{
    std::error_code ec;
    for (const std::string& path : {LogPath, TracePath, FleetDir + "/bmapi.trace", Root + "/wrenflash.argv"})
        fs::remove(path, ec);
}

bool SystemTest::LogExists() const { return fs::exists(LogPath); }

std::string SystemTest::Log() const { return ReadText(LogPath); }

std::vector<std::string> SystemTest::Trace() const { return SplitLines(ReadText(TracePath)); }

std::vector<std::string> SystemTest::BmapiTrace() const
{
    return SplitLines(ReadText(FleetDir + "/bmapi.trace"));
}

std::vector<std::string> SystemTest::BmapiCalls(const std::string& name) const
{
    std::vector<std::string> calls;
    for (auto& line : BmapiTrace())
        if (line.compare(0, name.size(), name) == 0 &&
            (line.size() == name.size() || !std::isalnum(static_cast<unsigned char>(line[name.size()]))))
            calls.push_back(line);
    return calls;
}

size_t SystemTest::CountBmapiCalls(const std::string& name) const { return BmapiCalls(name).size(); }

std::vector<std::vector<std::string>> SystemTest::FlashToolArguments() const
{
    std::vector<std::vector<std::string>> runs;
    for (const std::string& line : SplitLines(ReadText(Root + "/wrenflash.argv"))) {
        if (line.compare(0, 5, "argc ") == 0)
            runs.emplace_back();
        else if (!runs.empty() && line.size() >= 2 && line.front() == '[' && line.back() == ']')
            runs.back().push_back(line.substr(1, line.size() - 2));
        else
            ADD_FAILURE() << "unexpected line in wrenflash.argv: " << line;
    }
    return runs;
}

} // namespace systest
