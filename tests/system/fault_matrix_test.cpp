// The fault matrix: every library call the substitute library can fail, at
// every adapter of a three-adapter fleet, in every run mode, and every
// external command failing for each adapter. The fleet: three standard
// adapters (boot code 1.9.6, PXE option ROM), and a boot code catalog that
// offers each of them 2.0.1, so that a run without faults writes one image
// per adapter. What each fault must lead to is stated in FaultRules; the
// expected run follows from it by the run's rules in ExpectedRun.
#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "upgrade_support.h"

namespace systest {
namespace {

using namespace upgrade;

constexpr int AdapterCount = 3;

// ---------------------------------------------------------------------------
// Run modes

enum class Mode { Listing, Silent, ForcedSilent, AssumeDefault, Interactive };

struct ModeRule {
    Mode mode;
    const char* name;
    std::vector<std::string> args;
    bool upgrade; // runs the upgrade (logs, asks, writes) rather than the listing
    bool silent;  // nothing on the console
    bool forced;  // the tool gets -F
};

const std::vector<ModeRule> Modes = {
    {Mode::Listing, "Listing", {"-c"}, false, false, false},
    {Mode::Silent, "Silent", {"-s"}, true, true, false},
    {Mode::ForcedSilent, "ForcedSilent", {"-s", "-F"}, true, true, true},
    {Mode::AssumeDefault, "AssumeDefault", {"-y"}, true, false, false},
    {Mode::Interactive, "Interactive", {}, true, false, false},
};

// ---------------------------------------------------------------------------
// Faults and what the rules make of them

enum class Fault {
    None,
    OldLibrary,      // version 2.9.9
    InitializeFails, // BmapiInitializeEx
    CountFails,      // BmapiGetNumPhyNicEx
    HandlesFails,    // BmapiGetAllPhyNicHandles
    PhyNicFails,     // BmapiGetPhyNic, one adapter
    NicInfoFails,    // BmapiGetBRCMNicInfoEx, one adapter
    FwInfoFails,     // BmapiGet5706FwInfo, one adapter
    InitDiagFails,   // BmapiInitDiag, one adapter
    ReadFails,       // BmapiReadFirmware of the first directory word, one adapter
    UnInitDiagFails, // BmapiUnInitDiag, one adapter
    ToolExits1,
    ToolExits10,
    ToolExits255,
    ToolKilled, // the shell running the tool is killed
    RmmodFails,
    ModprobeFails,
    IfconfigFails,
};

enum class Scope { Run, Library, Adapter, Command };

enum class Effect {
    Nothing,          // the run is not changed by it
    Refused,          // old library: its message, status 2, never initialised
    EndsSilently,     // status 2 and no message; the library is not closed
    NoAdapters,       // discovery takes none: the library is closed, status 2
    AdapterDropped,   // discovery does not take this adapter
    AdapterBlank,     // taken with an all-zero installed record: no versions, no name
    NoRomKind,        // the scan ends at once and records no option ROM kind
    NvramReadMessage, // "Failed to read NVRAM!", no kind, diagnostic mode left
    DiagLeftOpen,     // leaving diagnostic mode fails; nothing else changes
    ToolFails,        // the tool run fails with ToolCode
    RmmodFails,       // the reload stops at rmmod
    ModprobeFails,    // the reload stops at modprobe
    IfconfigFails,    // this adapter's interface does not come up
};

struct FaultRule {
    Fault fault;
    const char* name;
    Scope scope;
    Effect effect;
    int toolCode; // ToolFails: the code the run reports
};

// A killed tool run counts as failed, reported with the code a shell gives a
// child ended by that signal (128 + 9): it did not finish writing.
const std::vector<FaultRule> FaultRules = {
    {Fault::None, "NoFault", Scope::Run, Effect::Nothing, 0},
    {Fault::OldLibrary, "OldLibrary", Scope::Library, Effect::Refused, 0},
    {Fault::InitializeFails, "InitializeFails", Scope::Library, Effect::EndsSilently, 0},
    {Fault::CountFails, "CountFails", Scope::Library, Effect::NoAdapters, 0},
    {Fault::HandlesFails, "HandlesFails", Scope::Library, Effect::NoAdapters, 0},
    {Fault::PhyNicFails, "PhyNicFails", Scope::Adapter, Effect::AdapterDropped, 0},
    {Fault::NicInfoFails, "NicInfoFails", Scope::Adapter, Effect::AdapterDropped, 0},
    {Fault::FwInfoFails, "FwInfoFails", Scope::Adapter, Effect::AdapterBlank, 0},
    {Fault::InitDiagFails, "InitDiagFails", Scope::Adapter, Effect::NoRomKind, 0},
    {Fault::ReadFails, "ReadFails", Scope::Adapter, Effect::NvramReadMessage, 0},
    {Fault::UnInitDiagFails, "UnInitDiagFails", Scope::Adapter, Effect::DiagLeftOpen, 0},
    {Fault::ToolExits1, "ToolExits1", Scope::Command, Effect::ToolFails, 1},
    {Fault::ToolExits10, "ToolExits10", Scope::Command, Effect::ToolFails, 10},
    {Fault::ToolExits255, "ToolExits255", Scope::Command, Effect::ToolFails, 255},
    {Fault::ToolKilled, "ToolKilled", Scope::Command, Effect::ToolFails, 128 + 9},
    {Fault::RmmodFails, "RmmodFails", Scope::Command, Effect::RmmodFails, 0},
    {Fault::ModprobeFails, "ModprobeFails", Scope::Command, Effect::ModprobeFails, 0},
    {Fault::IfconfigFails, "IfconfigFails", Scope::Command, Effect::IfconfigFails, 0},
};

struct Case {
    const ModeRule* mode;
    const FaultRule* rule;
    int adapter; // the adapter the fault hits; -1 for faults of the whole run
};

void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.mode->name << " " << c.rule->name;
    if (c.adapter >= 0)
        *out << " at adapter " << c.adapter;
}

std::string CaseName(const testing::TestParamInfo<Case>& info)
{
    std::string name = std::string(info.param.mode->name) + "_" + info.param.rule->name;
    if (info.param.adapter >= 0)
        name += "_Adapter" + std::to_string(info.param.adapter);
    return name;
}

// Library faults in every mode; command faults only where commands run.
std::vector<Case> AllCases()
{
    std::vector<Case> cases;
    for (const ModeRule& mode : Modes) {
        for (const FaultRule& rule : FaultRules) {
            if (rule.scope == Scope::Command && !mode.upgrade)
                continue;
            if (rule.scope == Scope::Adapter || rule.scope == Scope::Command) {
                for (int k = 0; k < AdapterCount; ++k)
                    cases.push_back({&mode, &rule, k});
            } else {
                cases.push_back({&mode, &rule, -1});
            }
        }
    }
    return cases;
}

// ---------------------------------------------------------------------------
// The run the rules expect

struct Message {
    std::string text;
    int inLog;     // times in the log
    int onConsole; // times on the console unless silent
};

struct ExpectedRun {
    int status = 2;
    std::vector<std::string> commands; // the stand-ins' trace, answers files masked
    std::vector<Message> messages;
    int errorLines = 0;        // "ERROR:" lines in the log
    bool initialised = true;   // BmapiInitializeEx was called
    bool closed = false;       // BmapiUninitialize was called
    std::vector<int> taken;    // adapters discovery takes
    std::vector<int> offered;  // adapters asked about boot code 2.0.1
    std::vector<int> withKind; // adapters whose PXE option ROM was recognised
};

std::string Hex(int code)
{
    char text[16];
    std::snprintf(text, sizeof text, "%x", code);
    return text;
}

std::string Interface(const Case& c, int k)
{
    return c.adapter == k && c.rule->effect == Effect::AdapterBlank ? "" : "eth" + std::to_string(k);
}

// Inventory: which adapters are taken, offered and recognised.
void ExpectInventory(const Case& c, ExpectedRun& e)
{
    for (int k = 0; k < AdapterCount; ++k) {
        const bool hit = c.adapter == k;
        const Effect effect = c.rule->effect;
        if (hit && effect == Effect::AdapterDropped)
            continue;
        e.taken.push_back(k);
        if (hit && effect == Effect::AdapterBlank)
            continue;
        e.offered.push_back(k);
        if (!hit || (effect != Effect::NoRomKind && effect != Effect::NvramReadMessage))
            e.withKind.push_back(k);
    }
    if (c.rule->effect == Effect::NvramReadMessage)
        e.messages.push_back({"Failed to read NVRAM!\r\n", c.mode->upgrade ? 1 : 0, 1});
}

// A reported failure: the same text once in the log and once on the console.
void Report(ExpectedRun& e, const std::string& text)
{
    e.messages.push_back({text, 1, 1});
    ++e.errorLines;
}

// The update pass and the bring-up for the offered adapters.
void ExpectUpdates(const Case& c, ExpectedRun& e)
{
    bool errors = false, updated = false;
    const Effect effect = c.rule->effect;
    for (int k : e.offered) {
        const bool hit = c.adapter == k;
        e.commands.push_back(FlashBootCode(k, "bc.bin", ".bc1.9.6.bin", c.mode->forced));
        e.commands.push_back(Answers);
        if (hit && effect == Effect::ToolFails) {
            errors = true;
            e.messages.push_back({ToolFailedLog(k, Hex(c.rule->toolCode)), 1, 0});
            e.messages.push_back({ToolFailedConsole(k), 0, 1});
            ++e.errorLines;
            continue;
        }
        updated = true;
        e.commands.push_back("rmmod bnx2");
        if (hit && effect == Effect::RmmodFails) {
            errors = true;
            Report(e, "ERROR: Could not rmmod bnx2 after upgrade\n");
            continue;
        }
        e.commands.push_back("modprobe bnx2");
        if (hit && effect == Effect::ModprobeFails) {
            errors = true;
            Report(e, "ERROR: Could not modprobe bnx2 after upgrade\n");
            continue;
        }
        e.commands.push_back("sleep 10");
        e.commands.push_back("ifconfig eth" + std::to_string(k) + " up");
        if (hit && effect == Effect::IfconfigFails) {
            errors = true;
            Report(e, "ERROR: Failed ifconfig ethx up\n");
        }
    }
    e.closed = true;
    for (int k : e.taken) {
        const std::string name = Interface(c, k);
        // "ifconfig  up" for an empty name: the shell passes "up" alone.
        e.commands.push_back(name.empty() ? "ifconfig up" : "ifconfig " + name + " up");
        if (c.adapter == k && effect == Effect::IfconfigFails) {
            Report(e, "ERROR: Failed ifconfig " + name + " up\n");
            e.closed = false;
            break;
        }
        e.commands.push_back("sleep 1");
    }
    e.status = errors ? 3 : updated ? 0 : 2;
    if (errors)
        e.messages.push_back({WithErrors, 1, 1});
    else if (updated)
        e.messages.push_back({Complete, 1, 1});
}

ExpectedRun Expect(const Case& c)
{
    ExpectedRun e;
    const bool upgrade = c.mode->upgrade;
    switch (c.rule->effect) {
    case Effect::Refused:
        e.initialised = false;
        e.messages.push_back(
            {"Unsupported BMAPI version 2.9.9.\nExpect BMAPI version 3.0.2 or later.\n", upgrade ? 1 : 0, 1});
        return e;
    case Effect::EndsSilently: return e;
    case Effect::NoAdapters:
        e.closed = true;
        if (upgrade)
            e.messages.push_back({"No supported network adapters for firmware upgrade.\n", 1, 1});
        return e;
    default: break;
    }
    ExpectInventory(c, e);
    if (!upgrade) {
        e.closed = true;
        e.status = e.taken.empty() ? 2 : 0;
        return e;
    }
    ExpectUpdates(c, e);
    return e;
}

// ---------------------------------------------------------------------------
// Setting the fault up

class FaultMatrixTest : public UpgradeFixture, public testing::WithParamInterface<Case> {
protected:
    void SetUp() override
    {
        UpgradeFixture::SetUp();
        const Case& c = GetParam();
        std::string catalog;
        for (int k = 0; k < AdapterCount; ++k) {
            sim::AdapterSpec spec = MakeAdapter(k);
            AddNvram(spec.NvramFile, sim::BuildNvramImage(MakeNvram(k)));
            if (c.adapter == k)
                InjectAdapterFault(c.rule->fault, spec);
            AddAdapter(spec);
            catalog += PciId(k) + " bc.bin v2.0.1\n";
        }
        BootCodeCatalog(catalog);
        InjectRunFault(c);
    }

    static void InjectAdapterFault(Fault fault, sim::AdapterSpec& spec)
    {
        constexpr uint32_t Failed = 0x21;
        switch (fault) {
        case Fault::PhyNicFails: spec.PhyNicStatus = Failed; break;
        case Fault::NicInfoFails: spec.NicInfoStatus = Failed; break;
        case Fault::FwInfoFails: spec.FwInfoStatus = Failed; break;
        case Fault::InitDiagFails: spec.InitDiagStatus = Failed; break;
        case Fault::UnInitDiagFails: spec.UnInitDiagStatus = Failed; break;
        case Fault::ReadFails: spec.ReadFailOffsets = {0x18}; break;
        default: break;
        }
    }

    void InjectRunFault(const Case& c)
    {
        constexpr uint32_t Failed = 0x21;
        switch (c.rule->fault) {
        case Fault::OldLibrary:
            Library.Major = 2;
            Library.Minor = 9;
            Library.Build = 9;
            break;
        case Fault::InitializeFails: Library.InitializeStatus = Failed; break;
        case Fault::CountFails: Library.CountStatus = Failed; break;
        case Fault::HandlesFails: Library.HandlesStatus = Failed; break;
        case Fault::ToolExits1:
        case Fault::ToolExits10:
        case Fault::ToolExits255: Tools.WrenflashByMac[Mac(c.adapter)] = c.rule->toolCode; break;
        case Fault::RmmodFails: Tools.RmmodFailingCall = c.adapter + 1; break;
        case Fault::ModprobeFails: Tools.ModprobeFailingCall = c.adapter + 1; break;
        case Fault::IfconfigFails: Tools.IfconfigByName["eth" + std::to_string(c.adapter)] = 1; break;
        default: break;
        }
    }

    // The adapter library's calls for one handle.
    size_t CallsFor(const std::string& call, int k) const
    {
        size_t count = 0;
        const std::string handle = std::to_string(100 + k);
        for (const std::string& line : BmapiCalls(call))
            if (line == call + " " + handle || line.rfind(call + " " + handle + " ", 0) == 0)
                ++count;
        return count;
    }

    RunResult RunCase(const Case& c)
    {
        if (c.rule->fault == Fault::ToolKilled) {
            Tools.WrenflashKillsShell = 9;
            Tools.WrenflashKillsFor = Mac(c.adapter);
        }
        return RunWithInput(c.mode->args, c.mode->mode == Mode::Interactive ? "y\ny\ny\n" : "");
    }
};

int Count(const std::string& text, const std::string& part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

TEST_P(FaultMatrixTest, OutcomeFollowsTheRules)
{
    const Case& c = GetParam();
    const ExpectedRun e = Expect(c);
    RunResult r = RunCase(c);

    EXPECT_EQ(r.Status, e.status);
    EXPECT_EQ(r.Err, "");
    if (c.mode->silent) {
        EXPECT_EQ(r.Out, "");
    }
    const std::string log = Log();
    for (const Message& m : e.messages) {
        SCOPED_TRACE(m.text);
        EXPECT_EQ(Count(log, m.text), m.inLog);
        if (!c.mode->silent) {
            EXPECT_EQ(Count(r.Out, m.text), m.onConsole);
        }
    }
    EXPECT_EQ(Count(log, "ERROR:"), e.errorLines) << log;
    if (!c.mode->upgrade) {
        EXPECT_FALSE(LogExists());
    }

    // Commands: exactly these, in this order.
    EXPECT_EQ(ToolTrace(), e.commands);

    // The library: opened, and closed only where the rules close it.
    EXPECT_EQ(CountBmapiCalls("BmapiInitializeEx"), e.initialised ? 1u : 0u);
    EXPECT_EQ(CountBmapiCalls("BmapiUninitialize"), e.closed ? 1u : 0u);

    // Inventory: taken adapters are described, dropped ones go no further,
    // and diagnostic mode is entered once and left once per scanned adapter.
    for (int k = 0; k < AdapterCount; ++k) {
        SCOPED_TRACE("adapter " + std::to_string(k));
        const bool taken = std::find(e.taken.begin(), e.taken.end(), k) != e.taken.end();
        const bool offered = std::find(e.offered.begin(), e.offered.end(), k) != e.offered.end();
        EXPECT_EQ(CallsFor("BmapiGet5706FwInfo", k), taken ? 1u : 0u);
        const bool scanned = offered;
        EXPECT_EQ(CallsFor("BmapiInitDiag", k), scanned ? 1u : 0u);
        const bool diagOpened = scanned && !(c.adapter == k && c.rule->effect == Effect::NoRomKind);
        EXPECT_EQ(CallsFor("BmapiUnInitDiag", k), diagOpened ? 1u : 0u);
        if (!diagOpened) {
            EXPECT_EQ(CallsFor("BmapiReadFirmware", k), 0u);
        }
        if (c.mode->upgrade) {
            EXPECT_EQ(Count(log, Heading(k)), offered ? 1 : 0);
        }
    }

    if (c.mode->mode == Mode::Interactive) {
        EXPECT_EQ(Count(r.Out, Prompt("Boot Code 1.9.6 to 2.0.1", "y")), static_cast<int>(e.offered.size()));
    } else {
        EXPECT_EQ(Count(r.Out, "y/n/q"), 0);
    }

    if (c.mode->mode == Mode::Listing) {
        EXPECT_EQ(Count(r.Out, "MAC          PCI-ID              NIC\n"), static_cast<int>(e.taken.size()));
        EXPECT_EQ(Count(r.Out, "       PXE      8.3.5\n"), static_cast<int>(e.withKind.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrixTest, testing::ValuesIn(AllCases()), CaseName);

} // namespace
} // namespace systest
