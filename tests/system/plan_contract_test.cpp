// The plan's contract: on every fleet and catalog of a generated set, what
// tidemark-plan --json says equals what tidemark -s (resp. -s -F) then hands
// the flashing tool, image for image, with the same backup names and tool
// form; its status is 2 exactly when the run wrote something; every write
// names its image by the size and SHA-256 of the file the run hands the
// tool; the catalogs' states are those of the files written; and after
// successful runs with the stand-in tool that writes into the fleet, the
// plan comes to 0. Backups already on disk are never overwritten, and no
// two writes get the same backup name.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "plan_support.h"

namespace systest {
namespace {

using namespace upgrade;
using namespace plan;
namespace fs = std::filesystem;

constexpr uint32_t ContractSeed = 20261208;
constexpr int ShardCount = 4;
constexpr int CasesPerShard = 50;
// Successful silent runs in a row after which the plan must be empty: each
// one raises some installed version, and the catalogs are finite.
constexpr int MaxRounds = 8;

// The harness's standard adapters, for the generator.
struct Standard : SystemTest {
    using SystemTest::MakeAdapter;
    using SystemTest::MakeNvram;
};

// mt19937's output is the same everywhere; the distributions are not, so
// only its raw numbers are used.
struct Random {
    std::mt19937 Engine;
    explicit Random(uint32_t seed) : Engine(seed) {}
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Engine() % n); }
    bool Percent(uint32_t p) { return Below(100) < p; }
};

struct Triple {
    uint8_t Major, Minor, Build;
};

// What the generator put into a case, for the coverage check and for the
// failure messages.
struct Features {
    int Adapters = 0, NoRom = 0, Pxe = 0, Clp = 0, Iscsi = 0, Faulty = 0;
    int BootCodeEntries = 0, BadBootCodeTokens = 0, OptionRomFiles = 0, NvramPxe = 0, AsfFiles = 0;
    int Unreadable = 0, ClpForPxe = 0, ClpEntries = 0, BadClpTokens = 0, SeveralEntries = 0, Noise = 0;
    int EarlierBackups = 0;
    std::string Text; // one line per catalog entry and adapter
};

struct Generated {
    std::vector<sim::AdapterSpec> Adapters;
    std::vector<std::vector<uint8_t>> Nvrams;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> Images; // "kind/name" -> bytes
    std::vector<std::string> Directories;                             // "kind/name"
    std::string BootCode, Pxe, Clp;
    bool WriteBootCode = true, WritePxe = true, WriteClp = true;
    std::vector<std::string> Backups; // backup files there before the runs, by name
    Features Seen;
};

std::string VersionToken(const Triple& v)
{
    char text[16];
    std::snprintf(text, sizeof text, "v%u.%u.%u", v.Major, v.Minor, v.Build);
    return text;
}

// Around an installed version: newer, the same or older, digit by digit.
Triple Near(Random& random, const Triple& installed)
{
    if (random.Percent(20))
        return installed;
    auto digit = [&](uint8_t around) {
        const int value = around + static_cast<int>(random.Below(5)) - 2;
        return static_cast<uint8_t>(std::clamp(value, 0, 9));
    };
    return {digit(installed.Major), digit(installed.Minor), digit(installed.Build)};
}

class CaseWriter {
public:
    // Earlier backups draw from a stream of their own, so that the rest of
    // each case stays as it was before they were added.
    CaseWriter(uint32_t index) : random_(ContractSeed + index), backupRandom_(~(ContractSeed + index)) {}

    Generated Make()
    {
        const int count = 1 + static_cast<int>(random_.Below(3));
        for (int a = 0; a < count; ++a)
            AddAdapter(a);
        g_.WriteBootCode = !random_.Percent(5);
        g_.WritePxe = !random_.Percent(5);
        g_.WriteClp = !random_.Percent(5);
        return std::move(g_);
    }

private:
    void Note(const std::string& line) { g_.Seen.Text += line + "\n"; }

    void AddAdapter(int a)
    {
        const sim::OptionRom roms[] = {sim::OptionRom::None, sim::OptionRom::Pxe, sim::OptionRom::Clp,
                                       sim::OptionRom::Iscsi};
        const sim::OptionRom rom = roms[random_.Below(4)];
        sim::NvramSpec nvram = Standard::MakeNvram(a, rom);
        nvram.BootCodeMajor = static_cast<uint8_t>(1 + random_.Below(3));
        nvram.BootCodeMinor = static_cast<uint8_t>(random_.Below(10));
        nvram.BootCodeBuild = static_cast<uint8_t>(random_.Below(10));
        nvram.RomMajor = static_cast<uint8_t>(random_.Below(10));
        nvram.RomMinor = static_cast<uint8_t>(random_.Below(10));
        nvram.RomBuild = static_cast<uint8_t>(random_.Below(10));
        sim::AdapterSpec spec = Standard::MakeAdapter(a, rom);
        spec.FileName = "adapter" + std::to_string(a) + ".conf";
        if (random_.Percent(8)) {
            ++g_.Seen.Faulty;
            if (random_.Percent(50))
                spec.FwInfoStatus = 0x23;
            else
                spec.ReadFailOffsets = {0x18};
        }
        g_.Seen.Adapters++;
        (rom == sim::OptionRom::None  ? g_.Seen.NoRom
         : rom == sim::OptionRom::Pxe ? g_.Seen.Pxe
         : rom == sim::OptionRom::Clp ? g_.Seen.Clp
                                      : g_.Seen.Iscsi)++;
        Note("adapter " + std::to_string(a) + " " + sim::OptionRomName(rom) + " bc " +
             std::to_string(nvram.BootCodeMajor) + "." + std::to_string(nvram.BootCodeMinor) + "." +
             std::to_string(nvram.BootCodeBuild) + " rom " + std::to_string(nvram.RomMajor) + "." +
             std::to_string(nvram.RomMinor) + "." + std::to_string(nvram.RomBuild) +
             (spec.FwInfoStatus || !spec.ReadFailOffsets.empty() ? " faulty" : ""));
        g_.Adapters.push_back(spec);
        g_.Nvrams.push_back(sim::BuildNvramImage(nvram));
        if (backupRandom_.Percent(30)) {
            // The name of the first write on this adapter when it carries its
            // installed option ROM version beside the installed boot code.
            const std::string name =
                spec.Mac + ".bc" + TripleText(nvram.BootCodeMajor, nvram.BootCodeMinor, nvram.BootCodeBuild) +
                ".p" + TripleText(nvram.RomMajor, nvram.RomMinor, nvram.RomBuild) + ".bin";
            g_.Backups.push_back(name);
            ++g_.Seen.EarlierBackups;
            Note("  earlier backup " + name);
        }

        const std::string pci = PciId(a);
        const Triple bootCode{nvram.BootCodeMajor, nvram.BootCodeMinor, nvram.BootCodeBuild};
        const Triple romVersion{nvram.RomMajor, nvram.RomMinor, nvram.RomBuild};
        const uint32_t bootCodeEntries = random_.Below(4);
        for (uint32_t j = 0; j < bootCodeEntries; ++j)
            AddBootCodeEntry(a, j, pci, bootCode, nvram);
        const bool pxeCatalog = rom == sim::OptionRom::Pxe || random_.Percent(20);
        const uint32_t pxeEntries = pxeCatalog ? random_.Below(4) : 0;
        for (uint32_t j = 0; j < pxeEntries; ++j)
            AddPxeEntry(a, j, pci, romVersion, nvram);
        const bool clpCatalog = rom != sim::OptionRom::None ? random_.Percent(70) : random_.Percent(20);
        const uint32_t clpEntries = clpCatalog ? random_.Below(3) : 0;
        for (uint32_t j = 0; j < clpEntries; ++j)
            AddClpEntry(a, j, pci, romVersion, rom == sim::OptionRom::Pxe);
        if (bootCodeEntries > 1 || pxeEntries > 1 || clpEntries > 1)
            ++g_.Seen.SeveralEntries;
        if (random_.Percent(30)) {
            // Entries that match no adapter: another identity, or lower case.
            std::string lower = pci;
            std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return std::tolower(c); });
            g_.BootCode += lower + " bc_noise.bin v9.9.9\n";
            g_.Clp += "5A17-9999-5A17-9999 clp_noise.rom v9.9.9\n";
            ++g_.Seen.Noise;
        }
    }

    void AddBootCodeEntry(int a, uint32_t j, const std::string& pci, const Triple& installed,
                          const sim::NvramSpec& adapterNvram)
    {
        const Triple v = Near(random_, installed);
        const std::string name = "bc_" + std::to_string(a) + "_" + std::to_string(j) + ".bin";
        sim::NvramSpec image = adapterNvram;
        image.BootCodeMajor = v.Major, image.BootCodeMinor = v.Minor, image.BootCodeBuild = v.Build;
        image.Rom = sim::OptionRom::None;
        g_.Images.push_back({"bootcode/" + name, sim::BuildNvramImage(image)});
        std::string token = VersionToken(v);
        if (random_.Percent(8)) {
            token = token.substr(1); // five characters: ends the boot code search
            ++g_.Seen.BadBootCodeTokens;
        }
        g_.BootCode += pci + " " + name + " " + token + "\n";
        ++g_.Seen.BootCodeEntries;
        Note("  bootcode " + name + " " + token);
    }

    void AddPxeEntry(int a, uint32_t j, const std::string& pci, const Triple& installed,
                     const sim::NvramSpec& adapterNvram)
    {
        const std::string name = "pxe_" + std::to_string(a) + "_" + std::to_string(j);
        const Triple v = Near(random_, installed);
        const uint32_t pick = random_.Below(100);
        std::string what;
        if (pick < 45) {
            g_.Images.push_back(
                {"pxe/" + name, sim::BuildOptionRomFile(sim::OptionRom::Pxe, v.Major, v.Minor, v.Build)});
            ++g_.Seen.OptionRomFiles;
            what = "option ROM " + VersionToken(v);
        } else if (pick < 60) {
            // An NVRAM image: before boot code 2.6 its PXE version is found.
            sim::NvramSpec image = adapterNvram;
            image.BootCodeMajor = static_cast<uint8_t>(1 + random_.Below(3));
            image.BootCodeMinor = static_cast<uint8_t>(random_.Below(10));
            image.Rom = sim::OptionRom::Pxe;
            image.RomMajor = v.Major, image.RomMinor = v.Minor, image.RomBuild = v.Build;
            g_.Images.push_back({"pxe/" + name, sim::BuildNvramImage(image)});
            ++g_.Seen.NvramPxe;
            what = "NVRAM image, boot code " + std::to_string(image.BootCodeMajor) + "." +
                   std::to_string(image.BootCodeMinor) + ", PXE " + VersionToken(v);
        } else if (pick < 70) {
            std::vector<uint8_t> asf = {0x41, 0x53, 0x46, 0x1A, 0, 0, 0, 0};
            asf.resize(40, ' ');
            const std::string version = "ASF 1.05";
            std::copy(version.begin(), version.end(), asf.begin() + 20);
            g_.Images.push_back({"pxe/" + name, asf});
            ++g_.Seen.AsfFiles;
            what = "ASF file";
        } else if (pick < 78) {
            g_.Images.push_back(
                {"pxe/" + name, sim::BuildOptionRomFile(sim::OptionRom::Clp, v.Major, v.Minor, v.Build)});
            ++g_.Seen.OptionRomFiles;
            what = "CLP option ROM " + VersionToken(v);
        } else {
            const uint32_t how = random_.Below(3);
            if (how == 1)
                g_.Directories.push_back("pxe/" + name);
            else if (how == 2)
                g_.Images.push_back({"pxe/" + name, std::vector<uint8_t>(0x100001, 0x55)});
            ++g_.Seen.Unreadable;
            what = how == 0 ? "missing" : how == 1 ? "a directory" : "too big";
        }
        g_.Pxe += pci + " " + name + " -\n";
        Note("  pxe " + name + " " + what);
    }

    void AddClpEntry(int a, uint32_t j, const std::string& pci, const Triple& installed, bool pxeAdapter)
    {
        const std::string name = "clp_" + std::to_string(a) + "_" + std::to_string(j) + ".rom";
        const Triple v = Near(random_, installed);
        g_.Images.push_back(
            {"clp/" + name, sim::BuildOptionRomFile(sim::OptionRom::Clp, v.Major, v.Minor, v.Build)});
        std::string token = VersionToken(v);
        if (random_.Percent(8)) {
            token = "v" + std::to_string(v.Major); // no minor or build: passed over
            ++g_.Seen.BadClpTokens;
        }
        g_.Clp += pci + " " + name + " " + token + "\n";
        ++g_.Seen.ClpEntries;
        if (pxeAdapter)
            ++g_.Seen.ClpForPxe;
        Note("  clp " + name + " " + token);
    }

    static std::string TripleText(uint8_t major, uint8_t minor, uint8_t build)
    {
        return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build);
    }

    Random random_, backupRandom_;
    Generated g_;
};

Generated MakeCase(uint32_t index) { return CaseWriter(index).Make(); }

std::set<std::string> BackupsIn(const std::string& dir)
{
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        names.insert(entry.path().filename().string());
    return names;
}

// What an earlier run left in the backup folder.
std::string EarlierBackup(const std::string& name) { return "earlier backup " + name + "\n"; }

class PlanContractCheck : public PlanFixture {
protected:
    std::string BackupFolder() const { return LogDir + "/nicfw_backup"; }

    // The backup folder holds the case's earlier backups and nothing else.
    void ResetBackups(const Generated& g)
    {
        std::error_code ec;
        fs::remove_all(BackupFolder(), ec);
        fs::create_directories(BackupFolder());
        for (const std::string& name : g.Backups) {
            const std::string text = EarlierBackup(name);
            sim::WriteFile(BackupFolder() + "/" + name, std::vector<uint8_t>(text.begin(), text.end()));
        }
    }

    // The backups the runs wrote, without the earlier ones, which must be
    // as they were.
    std::set<std::string> WrittenBackups(const Generated& g)
    {
        std::set<std::string> written = BackupsIn(BackupFolder());
        for (const std::string& name : g.Backups) {
            EXPECT_EQ(ReadText(BackupFolder() + "/" + name), EarlierBackup(name))
                << name << " was overwritten";
            written.erase(name);
        }
        return written;
    }

    void WriteCase(const Generated& g)
    {
        std::error_code ec;
        for (const std::string& dir : {FleetDir, Root + "/opt", Root + "/varopt", Root + "/tmp"})
            fs::remove_all(dir, ec);
        for (const char* kind : {"bootcode", "pxe", "clp"})
            fs::create_directories(CatalogDir + "/" + kind);
        fs::create_directories(LogDir);
        fs::create_directories(FleetDir);
        ClearRecords();
        for (size_t i = 0; i < g.Adapters.size(); ++i) {
            AddNvram(g.Adapters[i].NvramFile, g.Nvrams[i]);
            AddAdapter(g.Adapters[i]);
        }
        for (const auto& [path, bytes] : g.Images)
            sim::WriteFile(CatalogDir + "/" + path, bytes);
        for (const std::string& dir : g.Directories)
            fs::create_directories(CatalogDir + "/" + dir);
        if (g.WriteBootCode)
            WriteCatalogFile("bootcode", g.BootCode);
        if (g.WritePxe)
            WriteCatalogFile("pxe", g.Pxe);
        if (g.WriteClp)
            WriteCatalogFile("clp", g.Clp);
        ResetBackups(g);
    }

    struct Outcome {
        bool Wrote = false, Forced = false, Warned = false, ToolFailed = false, Converged = false;
        bool Variant = false; // a backup name other than the formed one
        bool ApplyFailed = false;
        int Rounds = 0;
    };

    // What the plan says of the catalog files and the images matches the
    // files themselves.
    void CheckFiles(const Generated& g, const Json& plan)
    {
        const std::pair<const char*, bool> catalogs[] = {
            {"boot_code", g.WriteBootCode}, {"pxe", g.WritePxe}, {"clp", g.WriteClp}};
        for (const auto& [kind, written] : catalogs)
            EXPECT_EQ(plan["catalogs"][kind]["state"], written ? "present" : "missing") << kind;
        const std::string seen = "/opt/orvan/nic_fw/nx2";
        for (const Json& adapter : plan["adapters"]) {
            for (const Json& write : adapter["writes"]) {
                const std::string path = CatalogDir + write["image"].get<std::string>().substr(seen.size());
                SCOPED_TRACE(path);
                const std::string bytes = ReadText(path);
                EXPECT_EQ(write["size"], bytes.size());
                EXPECT_EQ(write["sha256"], Sha256Of(std::vector<uint8_t>(bytes.begin(), bytes.end())));
            }
        }
    }

    // The plan, then the silent run with the recording tool; the number of
    // tool runs.
    size_t CheckAgainstRecordingTool(const Generated& g, bool force, Outcome& outcome)
    {
        SCOPED_TRACE(force ? "tidemark -s -F" : "tidemark -s");
        Tools.RealWrenflash = false;
        ClearRecords();
        int status = -1;
        const Json plan =
            PlanJson(force ? std::vector<std::string>{"-F"} : std::vector<std::string>{}, status);
        if (!plan.is_object())
            return 0;
        CheckFiles(g, plan);
        const auto planned = PlannedToolRuns(plan);
        ClearRecords();
        const RunResult run =
            Run(force ? std::vector<std::string>{"-s", "-F"} : std::vector<std::string>{"-s"});
        EXPECT_EQ(run.Out, "");
        const auto toolRuns = FlashToolArguments();
        EXPECT_EQ(toolRuns, planned) << "plan:\n" << plan.dump(2);
        EXPECT_EQ(status, toolRuns.empty() ? 0 : 2);
        EXPECT_EQ(run.Status, toolRuns.empty() ? 2 : 0);
        EXPECT_EQ(plan["writes"], planned.size());
        std::set<std::string> backups;
        for (const auto& toolRun : planned) {
            EXPECT_TRUE(backups.insert(toolRun.back()).second) << toolRun.back() << " planned twice";
            outcome.Variant = outcome.Variant || toolRun.back().find("-1.bin") != std::string::npos;
        }
        if (!force) {
            outcome.Wrote = !toolRuns.empty();
            outcome.Forced = plan["forced"] == true;
            outcome.Warned = !plan["warnings"].empty();
        }
        ToolTrace(); // removes the answers files
        return toolRuns.size();
    }

    // Silent runs with the tool that writes into the fleet, until the plan
    // is empty or a write fails. The first plan is the one just checked.
    void CheckConvergence(const Generated& g, Outcome& outcome)
    {
        Tools.RealWrenflash = true;
        for (int round = 0; round < MaxRounds; ++round) {
            SCOPED_TRACE("round " + std::to_string(round));
            ClearRecords();
            // The plan sees the backup folder as the run will.
            ResetBackups(g);
            int status = -1;
            const Json plan = PlanJson({}, status);
            ASSERT_TRUE(plan.is_object());
            if (status == 0) {
                outcome.Converged = round > 0;
                return;
            }
            EXPECT_EQ(status, 2);
            std::set<std::string> planned;
            for (const auto& run : PlannedToolRuns(plan))
                planned.insert(run.back().substr(BackupDir.size()));
            const RunResult run = Run({"-s"});
            ++outcome.Rounds;
            EXPECT_NE(run.Status, 2) << "the plan had work";
            const std::set<std::string> written = WrittenBackups(g);
            EXPECT_TRUE(std::includes(planned.begin(), planned.end(), written.begin(), written.end()))
                << "a backup the plan did not name";
            if (run.Status != 0) {
                outcome.ToolFailed = true;
                EXPECT_EQ(run.Status, 3);
                return;
            }
            EXPECT_EQ(written, planned);
        }
        ADD_FAILURE() << "the plan still has work after " << MaxRounds << " successful runs";
    }

    std::string SavedPlan() const { return Root + "/saved/plan.json"; }

    // tidemark-plan --json --out SAVED: the plan saved for tidemark-apply.
    Json SavePlan()
    {
        fs::create_directories(Root + "/saved");
        int status = -1;
        const Json plan = PlanJson({"--out", SavedPlan()}, status);
        EXPECT_TRUE(status == 0 || status == 2);
        return plan;
    }

    // The outcomes of a result's writes, in order.
    static std::vector<std::string> Outcomes(const Json& result)
    {
        std::vector<std::string> outcomes;
        if (result.is_object())
            for (const Json& write : result["writes"])
                outcomes.push_back(write["outcome"].get<std::string>());
        return outcomes;
    }

    // Whether the adapter of a result's write shows its target version
    // (when: "before" or "after").
    static bool Carries(const Json& result, const Json& write, const char* when)
    {
        const Json& versions = result["adapters"][write["adapter"].get<size_t>()][when];
        const std::string kind = write["kind"];
        return !write["to"].is_null() &&
               (versions[kind] == write["to"] || (kind == "clp" && versions["iscsi"] == write["to"]));
    }

    // tidemark-apply of a fresh plan hands the tool exactly the plan's
    // command lines; a stand-in tool that returns 0 without writing leaves
    // every write not verified.
    void CheckApplyWithRecordingTool(const Json& plan)
    {
        const auto planned = PlannedToolRuns(plan);
        ClearRecords();
        int status = -1;
        const Json result = ApplyJson(SavedPlan(), status);
        EXPECT_EQ(FlashToolArguments(), planned) << "plan:\n" << plan.dump(2);
        EXPECT_EQ(status, planned.empty() ? 2 : 3) << result.dump(2);
        // The fleet stays as it was: verified only where it had the target already.
        std::vector<std::string> expected;
        for (const Json& write : result["writes"])
            expected.push_back(Carries(result, write, "before") ? "verified" : "not-verified");
        EXPECT_EQ(expected.size(), planned.size());
        EXPECT_EQ(Outcomes(result), expected);
        EXPECT_EQ(result["plan_digest"], plan["digest"]);
        for (const Json& iface : result["interfaces"])
            EXPECT_EQ(iface["up"], true) << iface.dump();
        ToolTrace();
    }

    // One image changed after the plan: refused, the difference names that
    // write's size or SHA-256, and nothing runs.
    void CheckApplyRefusesAChangedImage(const Json& plan)
    {
        const std::string seen = "/opt/orvan/nic_fw/nx2";
        Json write;
        for (const Json& adapter : plan["adapters"])
            if (write.is_null() && !adapter["writes"].empty())
                write = adapter["writes"][0];
        ASSERT_TRUE(write.is_object());
        const std::string path = CatalogDir + write["image"].get<std::string>().substr(seen.size());
        const std::string before = ReadText(path);
        sim::WriteFile(path, std::vector<uint8_t>(before.begin(), before.end() - (before.empty() ? 0 : 1)));
        ClearRecords();
        int status = -1;
        const Json result = ApplyJson(SavedPlan(), status);
        EXPECT_EQ(status, 1);
        EXPECT_EQ(result["result"], "refused");
        const std::string field = result["difference"].value("field", "");
        EXPECT_TRUE(field.ends_with(".sha256") || field.ends_with(".size")) << result.dump(2);
        EXPECT_TRUE(FlashToolArguments().empty());
        for (const std::string& line : Trace())
            for (const char* command : {"rmmod", "modprobe", "ifconfig", "wrenflash"})
                EXPECT_EQ(line.find(command), std::string::npos) << line;
        sim::WriteFile(path, std::vector<uint8_t>(before.begin(), before.end()));
    }

    // With the tool that writes into the fleet every write that the tool
    // ran comes out verified when it names its target version; 0 exactly
    // when all are verified. Returns the number verified.
    size_t CheckApplyWithWritingTool(const Generated& g, Outcome& outcome)
    {
        Tools.RealWrenflash = true;
        ResetBackups(g);
        const Json plan = SavePlan();
        int status = -1;
        const Json result = ApplyJson(SavedPlan(), status);
        const auto outcomes = Outcomes(result);
        EXPECT_EQ(outcomes.size(), PlannedToolRuns(plan).size());
        size_t verified = 0;
        for (size_t i = 0; i < outcomes.size(); ++i) {
            const Json& write = result["writes"][i];
            EXPECT_NE(outcomes[i], "not-run") << write.dump();
            // The option ROM holds one image: a later write, or an image of
            // another kind, leaves a PXE or CLP target unseen.
            if (outcomes[i] != "failed") {
                EXPECT_EQ(outcomes[i], Carries(result, write, "after") ? "verified" : "not-verified")
                    << write.dump() << result["adapters"].dump();
            }
            verified += outcomes[i] == "verified";
        }
        EXPECT_EQ(status, verified == outcomes.size() ? 0 : 3) << result.dump(2);
        outcome.ApplyFailed = outcome.ApplyFailed || status == 3;
        ResetBackups(g);
        Tools.RealWrenflash = false;
        return verified;
    }

    // The three apply checks on the case as written.
    size_t CheckApply(const Generated& g, Outcome& outcome)
    {
        SCOPED_TRACE("tidemark-apply");
        WriteCase(g);
        Tools.RealWrenflash = false;
        const Json plan = SavePlan();
        if (!plan.is_object() || plan["writes"] == 0)
            return 0;
        CheckApplyWithRecordingTool(plan);
        CheckApplyRefusesAChangedImage(plan);
        return CheckApplyWithWritingTool(g, outcome);
    }
};

class PlanContractTest : public PlanContractCheck, public ::testing::WithParamInterface<int> {};

TEST_P(PlanContractTest, PlanEqualsWhatTheSilentRunWritesOnEveryGeneratedFleet)
{
    int wrote = 0, forced = 0, warned = 0, failed = 0, converged = 0, rounds = 0, variants = 0;
    int applied = 0, applyFailed = 0;
    for (int k = 0; k < CasesPerShard; ++k) {
        const uint32_t index = static_cast<uint32_t>(GetParam() * CasesPerShard + k);
        const Generated g = MakeCase(index);
        SCOPED_TRACE("case " + std::to_string(index) + ":\n" + g.Seen.Text);
        WriteCase(g);
        Outcome outcome;
        const size_t writes = CheckAgainstRecordingTool(g, false, outcome);
        CheckAgainstRecordingTool(g, true, outcome);
        if (writes > 0) {
            CheckConvergence(g, outcome);
            applied += CheckApply(g, outcome) > 0;
        }
        if (HasFailure())
            return;
        wrote += outcome.Wrote, forced += outcome.Forced, warned += outcome.Warned;
        failed += outcome.ToolFailed, converged += outcome.Converged, rounds += outcome.Rounds;
        variants += outcome.Variant, applyFailed += outcome.ApplyFailed;
    }
    std::printf("[ contract ] %d cases: %d with writes under -s, %d forced, %d with warnings, %d with a "
                "failed write, %d empty after successful runs, %d runs with the writing tool, %d with a "
                "backup name taken, %d applied with a verified write, %d applied with errors\n",
                CasesPerShard, wrote, forced, warned, failed, converged, rounds, variants, applied,
                applyFailed);
    // The set must exercise the contract, not pass by planning nothing.
    EXPECT_GE(wrote, CasesPerShard / 2);
    EXPECT_GE(forced, CasesPerShard / 5);
    EXPECT_GE(warned, CasesPerShard / 10);
    EXPECT_GE(failed, 1);
    EXPECT_GE(converged, CasesPerShard / 3);
    EXPECT_GE(variants, CasesPerShard / 10);
    EXPECT_GE(applied, CasesPerShard / 3);
}

INSTANTIATE_TEST_SUITE_P(Shards, PlanContractTest, ::testing::Range(0, ShardCount));

// Boot code 1.9.6 -> 1.9.8 and PXE on one adapter form the same backup name
// (the PXE name takes the accepted boot code's major and minor with the
// installed build); on the other adapter the formed name is an earlier
// backup. Each write gets a name of its own, and the plan names them.
TEST_F(PlanContractCheck, CollidingAndEarlierBackupNamesGetFreeVariants)
{
    Generated g;
    for (int a = 0; a < 2; ++a) {
        sim::AdapterSpec spec = Standard::MakeAdapter(a);
        spec.FileName = "adapter" + std::to_string(a) + ".conf";
        g.Adapters.push_back(spec);
        g.Nvrams.push_back(sim::BuildNvramImage(Standard::MakeNvram(a)));
        g.Images.push_back(
            {"pxe/pxe_" + std::to_string(a) + ".rom", sim::BuildOptionRomFile(sim::OptionRom::Pxe, 8, 4, 0)});
        g.Pxe += PciId(a) + " pxe_" + std::to_string(a) + ".rom -\n";
    }
    sim::NvramSpec bootCode = Standard::MakeNvram(0);
    bootCode.BootCodeBuild = 8, bootCode.Rom = sim::OptionRom::None;
    g.Images.push_back({"bootcode/bc_198.bin", sim::BuildNvramImage(bootCode)});
    g.BootCode = PciId(0) + " bc_198.bin v1.9.8\n";
    const std::string formed = ".bc1.9.6.p8.3.5";
    g.Backups = {Mac(1) + formed + ".bin"};
    WriteCase(g);

    int status = -1;
    const Json plan = PlanJson({}, status);
    EXPECT_EQ(status, 2);
    std::vector<std::string> backups;
    for (const auto& toolRun : PlannedToolRuns(plan))
        backups.push_back(toolRun.back());
    EXPECT_EQ(backups, (std::vector<std::string>{BackupDir + Mac(0) + formed + ".bin",
                                                 BackupDir + Mac(0) + formed + "-1.bin",
                                                 BackupDir + Mac(1) + formed + "-1.bin"}));
    Outcome outcome;
    CheckAgainstRecordingTool(g, false, outcome);
    CheckAgainstRecordingTool(g, true, outcome);
    EXPECT_TRUE(outcome.Variant);
    CheckConvergence(g, outcome);
    EXPECT_TRUE(outcome.Converged);
    EXPECT_EQ(outcome.Rounds, 1);
}

TEST(PlanContractSetTest, GeneratedSetCoversEveryKindOfFleetAndCatalogEntry)
{
    Features all;
    const int total = ShardCount * CasesPerShard;
    for (int i = 0; i < total; ++i) {
        const Features f = MakeCase(static_cast<uint32_t>(i)).Seen;
        all.Adapters += f.Adapters, all.NoRom += f.NoRom, all.Pxe += f.Pxe, all.Clp += f.Clp;
        all.Iscsi += f.Iscsi, all.Faulty += f.Faulty, all.BootCodeEntries += f.BootCodeEntries;
        all.BadBootCodeTokens += f.BadBootCodeTokens, all.OptionRomFiles += f.OptionRomFiles;
        all.NvramPxe += f.NvramPxe, all.AsfFiles += f.AsfFiles, all.Unreadable += f.Unreadable;
        all.ClpForPxe += f.ClpForPxe, all.ClpEntries += f.ClpEntries, all.BadClpTokens += f.BadClpTokens;
        all.SeveralEntries += f.SeveralEntries, all.Noise += f.Noise, all.EarlierBackups += f.EarlierBackups;
    }
    EXPECT_GE(total, 200);
    for (const auto& [name, count] :
         std::vector<std::pair<const char*, int>>{{"adapters without option ROM", all.NoRom},
                                                  {"PXE adapters", all.Pxe},
                                                  {"CLP adapters", all.Clp},
                                                  {"iSCSI adapters", all.Iscsi},
                                                  {"faulty adapters", all.Faulty},
                                                  {"boot code entries", all.BootCodeEntries},
                                                  {"bad boot code tokens", all.BadBootCodeTokens},
                                                  {"option ROM files", all.OptionRomFiles},
                                                  {"NVRAM images as PXE", all.NvramPxe},
                                                  {"ASF files", all.AsfFiles},
                                                  {"unreadable images", all.Unreadable},
                                                  {"CLP offered to PXE adapters", all.ClpForPxe},
                                                  {"bad CLP tokens", all.BadClpTokens},
                                                  {"several entries for one adapter", all.SeveralEntries},
                                                  {"entries for no adapter", all.Noise},
                                                  {"earlier backups", all.EarlierBackups}})
        EXPECT_GE(count, 10) << name;
    // The same seed gives the same set.
    EXPECT_EQ(MakeCase(7).Seen.Text, MakeCase(7).Seen.Text);
}

} // namespace
} // namespace systest

namespace systest {
namespace {

// tidemark-apply's refusals and its empty plan: the status, the reason and
// the result document, and nothing run, nothing logged and no interface
// touched.
TEST_F(PlanContractCheck, ApplyRefusalsAndAnEmptyPlanRunNothing)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    const Json plan = SavePlan();
    ASSERT_EQ(plan["writes"], 1);
    const std::string notJson = Root + "/saved/not-json";
    sim::WriteFile(notJson, std::vector<uint8_t>{'{', ' ', 'n', 'o'});
    RunOptions otherUser;
    otherUser.RealUid = otherUser.EffectiveUid = 65534;

    // The saved plan in a later format, with a key added and sealed again.
    const auto reseal = [this](const char* format) {
        return [this, format] {
            nlohmann::json document = nlohmann::json::parse(ReadText(SavedPlan()));
            document["format_version"] = format;
            document["added_later"] = {{"note", "a key of a later format"}};
            document.erase("digest");
            const std::string canonical = document.dump(-1, ' ', true);
            document["digest"] = Sha256Of(std::vector<uint8_t>(canonical.begin(), canonical.end()));
            const std::string text = document.dump(2);
            sim::WriteFile(SavedPlan(), std::vector<uint8_t>(text.begin(), text.end()));
        };
    };

    struct Case {
        const char* Name;
        std::string PlanFile;
        RunOptions Options;
        bool HoldLock, EmptyCatalog;
        int Status;
        std::string Result, Reason;
        bool LastOutcome;
        std::function<void()> Change = nullptr; // the server or the plan changed after it was saved
    };
    const Case cases[] = {
        {"not root", SavedPlan(), otherUser, false, false, 1, "refused", "must be run as root", false},
        {"lock held",
         SavedPlan(),
         {},
         true,
         false,
         1,
         "refused",
         "another firmware upgrade is in progress: the lock /run/tidemark.lock is held by tidemark",
         false},
        {"not JSON", notJson, {}, false, false, 1, "refused", "cannot read the plan '" + notJson + "'", true},
        {"missing", Root + "/saved/none", {}, false, false, 1, "refused", "cannot read the plan", true},
        {"library not initialised", SavedPlan(), RunOptions(), false, false, 1, "refused",
         "the adapter library could not be initialised (status 5)", true,
         [this] { Library.InitializeStatus = 5; }},
        {"library too old", SavedPlan(), RunOptions(), false, false, 1, "refused",
         "the adapter library 3.0.1 is older than 3.0.2", true, [this] { Library.Build = 1; }},
        {"no catalog", SavedPlan(), RunOptions(), false, false, 1, "refused",
         "no firmware catalog under /opt/orvan/nic_fw/nx2/", true,
         [this] {
             for (const char* file : {"bootcode/bootcode.info", "pxe/pxe.info", "clp/clp.info"})
                 fs::remove(CatalogDir + "/" + file);
         }},
        {"another major format", SavedPlan(), RunOptions(), false, false, 1, "refused",
         "format_version: is 2.0; this tidemark reads 1.x", true, reseal("2.0")},
        {"nothing to write", "", {}, false, true, 2, "nothing-to-write", "", true},
        // A minor step only adds keys.
        {"a later minor format", "", {}, false, true, 2, "nothing-to-write", "", true, reseal("1.7")},
    };
    const sim::LibrarySpec library = Library;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string planFile = c.PlanFile;
        if (c.EmptyCatalog) {
            BootCodeCatalog("");
            const Json empty = SavePlan();
            EXPECT_EQ(empty["writes"], 0);
            planFile = SavedPlan();
        }
        if (c.Change)
            c.Change();
        std::error_code ec;
        fs::remove(LogDir + "/tidemark-apply.last.json", ec);
        std::optional<StartedRun> upgrade;
        if (c.HoldLock) {
            Tools.WrenflashWaits = true;
            upgrade = Start({"-s"});
            ASSERT_TRUE(WaitForFile(ToolStartedPath()));
        }
        ClearRecords();
        int status = -1;
        const Json result = ApplyJson(planFile, status, c.Options);
        Library = library;
        EXPECT_EQ(status, c.Status);
        EXPECT_EQ(result["status"], c.Status);
        EXPECT_EQ(result["result"], c.Result);
        if (c.Reason.empty())
            EXPECT_TRUE(result["reason"].is_null()) << result.dump(2);
        else
            EXPECT_NE(result["reason"].get<std::string>().find(c.Reason), std::string::npos)
                << result.dump(2);
        EXPECT_TRUE(result["writes"].empty());
        EXPECT_TRUE(FlashToolArguments().empty());
        for (const std::string& line : Trace())
            for (const char* command : {"rmmod", "modprobe", "ifconfig"})
                EXPECT_EQ(line.find(command), std::string::npos) << line;
        EXPECT_FALSE(LogExists());
        const std::string last = LogDir + "/tidemark-apply.last.json";
        EXPECT_EQ(fs::exists(last), c.LastOutcome);
        if (c.LastOutcome) {
            const Json outcome = Json::parse(ReadText(last), nullptr, false);
            EXPECT_EQ(outcome["status"], c.Status);
            EXPECT_EQ(outcome["not_run"], 0);
            EXPECT_EQ(fs::status(last).permissions() & fs::perms::all,
                      fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                          fs::perms::others_read);
        }
        if (upgrade) {
            ReleaseTool();
            EXPECT_EQ(Finish(*upgrade).Status, 0);
            Tools.WrenflashWaits = false;
        }
    }
}

// SIGTERM to tidemark-apply's process group while the tool runs the first of
// two writes: that write ends and is reloaded, the second is not run, every
// interface comes up, and the result names the signal.
TEST_F(PlanContractCheck, AnInterruptedApplyFinishesTheWriteInProgressAndRunsNoOther)
{
    AddStandardAdapter(0);
    AddStandardAdapter(1);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n" + PciId(1) + " bc_201.bin v2.0.1\n");
    ASSERT_EQ(SavePlan()["writes"], 2);
    ClearRecords();
    Tools.WrenflashWaits = true;
    RunOptions options;
    options.Program = TIDEMARK_APPLY_BIN;
    StartedRun run = Start({SavedPlan(), "--json"}, options);
    ASSERT_TRUE(WaitForFile(ToolStartedPath()));
    ASSERT_EQ(kill(-run.Pid, SIGTERM), 0);
    ReleaseTool();
    const RunResult r = Finish(run);
    KeepResult(r.Out);
    const Json result = ParsePlan(r.Out);

    EXPECT_EQ(r.Status, 3);
    EXPECT_EQ(result["interrupted"], "SIGTERM");
    EXPECT_EQ(result["reason"], "the run was interrupted");
    EXPECT_EQ(Outcomes(result), (std::vector<std::string>{"not-verified", "not-run"}));
    EXPECT_EQ(result["interfaces"].size(), 2u);
    for (const Json& iface : result["interfaces"])
        EXPECT_EQ(iface["up"], true) << iface.dump();
    EXPECT_EQ(ToolTrace(), Lines({{FlashBootCode(0, "bc_201.bin", ".bc1.9.6.bin"), Answers, "wrenflash done",
                                   "rmmod bnx2", "modprobe bnx2", "sleep 10", "ifconfig eth0 up"},
                                  BringUp({"eth0", "eth1"})}));
}

// Boot code and PXE written into the fleet on adapter 0, and eth1 does not
// come up at the end: the writes are verified, the interface is named as
// not up, and the status is 3, in the result document and in the summary.
// The update pass logs what "tidemark -s" logs on the same fleet; only the
// selection lines before it are the silent run's own, as tidemark-apply
// plans without logging.
TEST_F(PlanContractCheck, AFailedBringUpIsReportedAndTheUpdatePassLogsAsTheSilentRun)
{
    Generated g;
    for (int a = 0; a < 2; ++a) {
        g.Adapters.push_back(Standard::MakeAdapter(a));
        g.Adapters.back().FileName = "adapter" + std::to_string(a) + ".conf";
        g.Nvrams.push_back(sim::BuildNvramImage(Standard::MakeNvram(a)));
    }
    sim::NvramSpec bootCode = Standard::MakeNvram(0);
    bootCode.BootCodeBuild = 8, bootCode.Rom = sim::OptionRom::None;
    g.Images = {{"bootcode/bc_198.bin", sim::BuildNvramImage(bootCode)},
                {"pxe/pxe_840.rom", sim::BuildOptionRomFile(sim::OptionRom::Pxe, 8, 4, 0)}};
    g.BootCode = PciId(0) + " bc_198.bin v1.9.8\n";
    g.Pxe = PciId(0) + " pxe_840.rom -\n";
    Tools.RealWrenflash = true;
    Tools.IfconfigByName["eth1"] = 1;
    WriteCase(g);
    EXPECT_EQ(Run({"-s"}).Status, 0);
    const auto updatePass = [](const std::string& log) {
        return log.substr(std::min(log.find(Selecting(0)), log.size()));
    };
    const std::string silentPass = updatePass(Log());
    EXPECT_NE(silentPass.find("ERROR: Failed ifconfig eth1 up\n"), std::string::npos) << silentPass;

    for (const bool json : {true, false}) {
        SCOPED_TRACE(json ? "--json" : "summary");
        WriteCase(g);
        SavePlan();
        const RunResult r = RunApply(json ? std::vector<std::string>{SavedPlan(), "--json"}
                                          : std::vector<std::string>{SavedPlan()});
        EXPECT_EQ(r.Status, 3);
        EXPECT_EQ(Log(), Banner + silentPass);
        if (!json) {
            EXPECT_EQ(r.Out, "tidemark-apply: not every interface came up\n"
                             "Adapter 0 (MAC 02A0B0C0D000): boot code 1.9.6 -> 1.9.8: verified\n"
                             "Adapter 0 (MAC 02A0B0C0D000): PXE 8.3.5 -> 8.4.0: verified\n"
                             "Interface eth1 is not up\n"
                             "Result: errors (2 verified, 0 failed, 0 not verified, 0 not run)\n");
            continue;
        }
        const Json result = ParsePlan(r.Out);
        EXPECT_EQ(result["reason"], "not every interface came up");
        EXPECT_EQ(Outcomes(result), (std::vector<std::string>{"verified", "verified"}));
        EXPECT_EQ(result["interfaces"][0]["up"], true);
        EXPECT_EQ(result["interfaces"][1]["up"], false);
    }
}

} // namespace
} // namespace systest
