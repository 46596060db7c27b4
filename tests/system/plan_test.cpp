// tidemark-plan through the real binary: its options, exit statuses and
// reasons, the exact table, the JSON keys, hostile texts, warnings, failing
// library calls, and that it touches nothing.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "plan_support.h"

namespace systest {
namespace {

using namespace upgrade;
using namespace plan;
namespace fs = std::filesystem;

class PlanTest : public PlanFixture {
protected:
    // A fresh fleet directory, for tables whose cases each need their own.
    void ResetFleet()
    {
        std::error_code ec;
        fs::remove_all(FleetDir, ec);
        fs::create_directories(FleetDir);
        Library = sim::LibrarySpec();
        Library.Trace = true;
        ClearRecords();
    }

    // tidemark-plan --prometheus [args], read back by the client library's
    // parser: family name -> {type, help, samples}; null when it does not parse.
    Json Metrics(const std::vector<std::string>& args, int& status)
    {
        std::vector<std::string> all = {"--prometheus"};
        all.insert(all.end(), args.begin(), args.end());
        const RunResult r = RunPlan(all);
        status = r.Status;
        const std::string file = Root + "/metrics.prom";
        sim::WriteFile(file, std::vector<uint8_t>(r.Out.begin(), r.Out.end()));
        std::string output;
        FILE* pipe = ::popen(
            ("/usr/bin/python3 '" + std::string(METRICS_PARSER) + "' '" + file + "' 2>&1").c_str(), "r");
        if (pipe == nullptr)
            return Json();
        char chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
            output.append(chunk, n);
        if (::pclose(pipe) != 0) {
            ADD_FAILURE() << "the metrics do not parse: " << output << "\n" << r.Out;
            return Json();
        }
        return Json::parse(output);
    }

    std::string ApplyLastFile() const { return Root + "/varopt/orvan/tidemark-apply.last.json"; }

    std::vector<std::string> AnswersFilesLeft() const
    {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(Root + "/tmp", ec))
            names.push_back(entry.path().filename().string());
        return names;
    }
};

std::string Joined(const std::vector<std::string>& args)
{
    std::string text;
    for (const std::string& arg : args)
        text += "[" + arg + "]";
    return text;
}

size_t CountOf(const std::string& text, char c)
{
    return static_cast<size_t>(std::count(text.begin(), text.end(), c));
}

// Control characters other than the line end: JSON allows none of them
// raw, and a terminal should see neither them nor DEL.
bool HasControlBytes(const std::string& text, bool withDel)
{
    return std::any_of(text.begin(), text.end(), [withDel](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\n') || (withDel && byte == 0x7F);
    });
}

const std::string UsageFirstLine =
    "USAGE: tidemark-plan [ -F ] [ --json ] [ --out FILE ] [ --prometheus ] [ -h | --help ]\n";

// The samples of one family, each {labels, value}; none when it is absent.
std::vector<std::pair<Json, double>> SamplesOf(const Json& metrics, const std::string& family)
{
    std::vector<std::pair<Json, double>> samples;
    if (!metrics.is_object() || !metrics.contains(family))
        return samples;
    for (const Json& sample : metrics[family]["samples"])
        samples.emplace_back(sample[1], sample[2].get<double>());
    return samples;
}

// The one value of a family without labels; NaN when it is not there once.
double ValueOf(const Json& metrics, const std::string& family)
{
    const auto samples = SamplesOf(metrics, family);
    return samples.size() == 1 && samples[0].first.empty() ? samples[0].second : std::nan("");
}

// The catalog states the metrics give, by kind.
std::map<std::string, std::string> CatalogStates(const Json& metrics)
{
    std::map<std::string, std::string> states;
    for (const auto& [labels, value] : SamplesOf(metrics, "tidemark_catalog_info"))
        if (value == 1.0)
            states[labels["kind"]] += labels["state"].get<std::string>();
    return states;
}

TEST_F(PlanTest, OnlyForceJsonAndHelpAreTakenAndAnythingElseIsRefusedBeforeTheLibraryIsOpened)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    struct Case {
        std::vector<std::string> Args;
        int Status;
        bool Usage;
    };
    const Case cases[] = {
        {{"-h"}, 0, true},           {{"--help"}, 0, true},
        {{"--json", "-h"}, 0, true}, {{"-F", "--help"}, 0, true},
        {{"-x"}, 1, false},          {{"-s"}, 1, false},
        {{"-c"}, 1, false},          {{"-y"}, 1, false},
        {{"-i", "file"}, 1, false},  {{"--jsonx"}, 1, false},
        {{"--json=1"}, 1, false},    {{"-Fh"}, 1, false},
        {{"--"}, 1, false},          {{""}, 1, false},
        {{"plan"}, 1, false},        {{"-F", "--json", "-s"}, 1, false},
        {{"-h", "-x"}, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Joined(c.Args));
        ClearRecords();
        const RunResult r = RunPlan(c.Args);
        EXPECT_EQ(r.Status, c.Status);
        if (c.Usage) {
            EXPECT_EQ(r.Out.rfind(UsageFirstLine, 0), 0u) << r.Out;
            EXPECT_EQ(r.Err, "");
        } else {
            EXPECT_EQ(r.Out, "");
            EXPECT_EQ(r.Err.rfind("tidemark-plan: unknown argument '", 0), 0u) << r.Err;
            EXPECT_EQ(CountOf(r.Err, '\n'), 1u) << r.Err;
        }
        EXPECT_EQ(CountBmapiCalls("BmapiGetVersion"), 0u);
        EXPECT_TRUE(Trace().empty());
    }
}

TEST_F(PlanTest, StatusIsZeroWithNothingToWriteAndTwoWithSomething)
{
    AddStandardAdapter(0);
    BootCodeCatalog("");
    int status = -1;
    Json plan = PlanJson({}, status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(plan["writes"], 0);

    BootCodeCatalog(PciId(0) + " bc_196.bin v1.9.6\n");
    plan = PlanJson({}, status);
    EXPECT_EQ(status, 0) << "the same version is declined under -s";
    EXPECT_EQ(plan["forced"], true) << "but the tool form is forced from then on";

    plan = PlanJson({"-F"}, status);
    EXPECT_EQ(status, 2) << "and taken under -s -F";
    EXPECT_EQ(plan["writes"], 1);
}

TEST_F(PlanTest, WhenNoPlanCanBeMadeTheStatusIsOneWithOneLineOfReasonAndNothingOnStandardOutput)
{
    struct Case {
        const char* Name;
        sim::LibrarySpec Library;
        uint32_t PhyNicStatus;
        uint32_t NicType;
        std::string Reason;
        size_t Initialisations, Closings;
    };
    auto library = [](uint32_t major, uint32_t minor, uint32_t build, uint32_t init, uint32_t count,
                      uint32_t handles) {
        sim::LibrarySpec spec;
        spec.Major = major, spec.Minor = minor, spec.Build = build;
        spec.InitializeStatus = init, spec.CountStatus = count, spec.HandlesStatus = handles;
        return spec;
    };
    const Case cases[] = {
        {"library 3.0.1", library(3, 0, 1, 0, 0, 0), 0, 4, "the adapter library 3.0.1 is older than 3.0.2", 0,
         0},
        {"library 2.9.9", library(2, 9, 9, 0, 0, 0), 0, 4, "the adapter library 2.9.9 is older than 3.0.2", 0,
         0},
        {"initialisation fails", library(3, 0, 2, 7, 0, 0), 0, 4,
         "the adapter library could not be initialised (status 7)", 1, 0},
        {"count fails", library(3, 0, 2, 0, 3, 0), 0, 4, "no supported network adapters", 1, 1},
        {"handles fail", library(3, 0, 2, 0, 0, 3), 0, 4, "no supported network adapters", 1, 1},
        {"adapter not described", library(3, 0, 2, 0, 0, 0), 0x21, 4, "no supported network adapters", 1, 1},
        {"adapter not supported", library(3, 0, 2, 0, 0, 0), 0, 3, "no supported network adapters", 1, 1},
    };
    for (const Case& c : cases) {
        for (const char* form : {"text", "json"}) {
            SCOPED_TRACE(std::string(c.Name) + ", " + form);
            ResetFleet();
            Library = c.Library;
            Library.Trace = true;
            sim::AdapterSpec adapter = MakeAdapter(0);
            adapter.FileName = "adapter00.conf";
            AddNvram(adapter.NvramFile, sim::BuildNvramImage(MakeNvram(0)));
            adapter.PhyNicStatus = c.PhyNicStatus;
            adapter.NicType = c.NicType;
            AddAdapter(adapter);
            BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
            const RunResult r = RunPlan(std::string(form) == "json" ? std::vector<std::string>{"--json"}
                                                                    : std::vector<std::string>{});
            EXPECT_EQ(r.Status, 1);
            EXPECT_EQ(r.Out, "");
            EXPECT_EQ(r.Err, "tidemark-plan: cannot plan: " + c.Reason + "\n");
            EXPECT_EQ(CountBmapiCalls("BmapiInitializeEx"), c.Initialisations);
            EXPECT_EQ(CountBmapiCalls("BmapiUninitialize"), c.Closings);
            EXPECT_FALSE(LogExists());
        }
    }
}

TEST_F(PlanTest, LibraryVersionsFromThreeZeroTwoOnArePlannedWith)
{
    BootCodeCatalog("");
    for (auto [major, minor, build] : {std::tuple{3u, 0u, 2u}, {3u, 1u, 0u}, {4u, 0u, 0u}}) {
        ResetFleet();
        Library.Major = major, Library.Minor = minor, Library.Build = build;
        AddStandardAdapter(0);
        int status = -1;
        const Json plan = PlanJson({}, status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(plan["library"],
                  std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build));
    }
}

TEST_F(PlanTest, APlanRunsNothingLogsNothingLeavesNoAnswersFileAndClosesTheLibraryLast)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    OfferPxe(0, "pxe_840.rom", 8, 4, 0);
    WriteLog("before\n");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"--json"}, {"-F"}, {"-F", "--json"}}) {
        SCOPED_TRACE(Joined(args));
        ClearRecords();
        WriteLog("before\n");
        const RunResult r = RunPlan(args);
        EXPECT_EQ(r.Status, 2);
        EXPECT_EQ(r.Err, "");
        EXPECT_EQ(Log(), "before\n");
        EXPECT_TRUE(Trace().empty()) << "a command or a pause";
        EXPECT_TRUE(AnswersFilesLeft().empty());
        EXPECT_EQ(CountBmapiCalls("BmapiUninitialize"), 1u);
        const std::vector<std::string> calls = BmapiTrace();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), "BmapiUninitialize");
    }
    RemoveLogDirectory();
    EXPECT_EQ(RunPlan({}).Status, 2);
    EXPECT_FALSE(fs::exists(LogDir));
}

TEST_F(PlanTest, PlansWithoutRootPrivileges)
{
    if (!RunningAsRoot())
        GTEST_SKIP() << "changing user ids needs root";
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    RunOptions options;
    options.Program = TIDEMARK_PLAN_BIN;
    options.RealUid = 1000;
    options.EffectiveUid = 1000;
    const RunResult r = Run({"--json"}, options);
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(ParsePlan(r.Out)["writes"], 1);
}

TEST_F(PlanTest, TableShowsEachAdapterItsWritesWithBackupAndToolFormAndASummary)
{
    AddStandardAdapter(0);
    AddStandardAdapter(1, sim::OptionRom::Clp);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    WriteCatalogImage("bootcode", "bc_201.bin", sim::BuildNvramImage(MakeNvram(0)));
    ClpCatalog("");
    // The same PXE version: declined under -s, but the tool is forced from then on.
    OfferPxe(0, "pxe_835.rom", 8, 3, 5);
    const std::string head = "\n"
                             "Adapter 0: Orvan NX2 Gigabit Adapter 0\n"
                             "  MAC 02A0B0C0D000  PCI-ID 5A17-2001-5A17-0100  interface eth0\n"
                             "  installed: boot code 1.9.6, PXE 8.3.5\n"
                             "  write boot code 1.9.6 -> 2.0.1  forced\n"
                             "        image  /opt/orvan/nic_fw/nx2/bootcode/bc_201.bin\n"
                             "        backup /var/opt/orvan/nicfw_backup/02A0B0C0D000.bc1.9.6.p8.3.5.bin\n";
    const std::string adapter1 = "\n"
                                 "Adapter 1: Orvan NX2 Gigabit Adapter 1\n"
                                 "  MAC 02A0B0C0D001  PCI-ID 5A17-2002-5A17-0101  interface eth1\n"
                                 "  installed: boot code 1.9.6, CLP 8.3.5\n"
                                 "  nothing to write\n"
                                 "\n";
    RunResult r = RunPlan({});
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Err, "");
    EXPECT_EQ(r.Out, "What \"tidemark -s\" would write (adapter library 3.0.2):\n" + head + adapter1 +
                         "1 image to write on 1 of 2 adapters; the flashing tool would get -F.\n");

    r = RunPlan({"-F"});
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.Out, "What \"tidemark -s -F\" would write (adapter library 3.0.2):\n" + head +
                         "  write PXE       8.3.5 -> 8.3.5  forced\n"
                         "        image  /opt/orvan/nic_fw/nx2/pxe/pxe_835.rom\n"
                         "        backup /var/opt/orvan/nicfw_backup/02A0B0C0D000.bc2.0.6.p8.3.5.bin\n" +
                         adapter1 +
                         "2 images to write on 1 of 2 adapters; the flashing tool would get -F.\n");

    ResetFleet();
    WriteCatalogFile("bootcode", "");
    WriteCatalogFile("pxe", "");
    AddStandardAdapter(2);
    r = RunPlan({});
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.Out.substr(r.Out.rfind('\n', r.Out.size() - 2) + 1), "Nothing to write on 1 adapter.\n");
}

TEST_F(PlanTest, JsonHasExactlyTheAgreedKeysAndTypes)
{
    AddStandardAdapter(0);
    AddStandardAdapter(1, sim::OptionRom::Iscsi);
    sim::AdapterSpec bare = MakeAdapter(2, sim::OptionRom::None);
    AddNvram(bare.NvramFile, sim::BuildNvramImage(MakeNvram(2, sim::OptionRom::None)));
    AddAdapter(bare);
    // An ASF file carries no PXE version: offered as not newer, taken under -F.
    WriteCatalogImage("pxe", "asf.bin", {0x41, 0x53, 0x46, 0x1A, 0, 0, 0, 0});
    PxeCatalog(PciId(0) + " asf.bin -\n");
    int status = -1;
    const Json plan = PlanJson({"-F"}, status);
    EXPECT_EQ(status, 2);
    ASSERT_TRUE(plan.is_object());
    EXPECT_EQ(KeysOf(plan), PlanKeys);
    EXPECT_EQ(plan["format_version"], "1.0");
    EXPECT_EQ(plan["run"], "tidemark -s -F");
    EXPECT_EQ(plan["library"], "3.0.2");
    EXPECT_EQ(plan["catalogs"], Json::parse(R"({
        "boot_code": {"path": "/opt/orvan/nic_fw/nx2/bootcode/bootcode.info", "state": "missing"},
        "pxe": {"path": "/opt/orvan/nic_fw/nx2/pxe/pxe.info", "state": "present"},
        "clp": {"path": "/opt/orvan/nic_fw/nx2/clp/clp.info", "state": "missing"}})"));
    ASSERT_TRUE(plan["digest"].is_string());
    EXPECT_EQ(plan["digest"].get<std::string>().size(), 64u);
    EXPECT_EQ(plan["writes"], 1);
    EXPECT_EQ(plan["forced"], true);
    EXPECT_EQ(plan["warnings"], Json::array());
    ASSERT_EQ(plan["adapters"].size(), 3u);

    const Json& a0 = plan["adapters"][0];
    EXPECT_EQ(KeysOf(a0), AdapterKeys);
    EXPECT_EQ(a0["index"], 0);
    EXPECT_EQ(a0["mac"], "02A0B0C0D000");
    EXPECT_EQ(a0["pci_id"], "5A17-2001-5A17-0100");
    EXPECT_EQ(a0["name"], "Orvan NX2 Gigabit Adapter 0");
    EXPECT_EQ(a0["interface"], "eth0");
    EXPECT_EQ(a0["installed"], Json::parse(R"({"boot_code":"1.9.6","pxe":"8.3.5","clp":null,"iscsi":null})"));
    ASSERT_EQ(a0["writes"].size(), 1u);
    EXPECT_EQ(KeysOf(a0["writes"][0]), WriteKeys);
    EXPECT_EQ(a0["writes"][0], Json::parse(R"({"kind":"pxe","image":"/opt/orvan/nic_fw/nx2/pxe/asf.bin",
        "size":8,"sha256":")" + Sha256Of({0x41, 0x53, 0x46, 0x1A, 0, 0, 0, 0}) +
                                           R"(","from":"8.3.5","to":null,
        "backup":"/var/opt/orvan/nicfw_backup/02A0B0C0D000.bc1.9.6.p8.3.5.bin","forced":true})"));

    EXPECT_EQ(plan["adapters"][1]["installed"],
              Json::parse(R"({"boot_code":"1.9.6","pxe":null,"clp":null,"iscsi":"8.3.5"})"));
    EXPECT_EQ(plan["adapters"][2]["installed"],
              Json::parse(R"({"boot_code":"1.9.6","pxe":null,"clp":null,"iscsi":null})"));
    EXPECT_EQ(plan["adapters"][2]["index"], 2);
    EXPECT_EQ(plan["adapters"][2]["writes"], Json::array());
}

// A CLP image offered to an adapter with PXE counts as newer and sets the
// -F option for the rest of the run: later same-version images are taken
// under -s too.
TEST_F(PlanTest, ClpOfferedToAPxeAdapterReplacesThePxeImageAndForcesTheRestOfTheRun)
{
    AddStandardAdapter(0);
    AddStandardAdapter(1);
    const std::vector<uint8_t> clp = sim::BuildOptionRomFile(sim::OptionRom::Clp, 1, 0, 0);
    WriteCatalogImage("clp", "clp_100.rom", clp);
    ClpCatalog(PciId(0) + " clp_100.rom v1.0.0\n");
    BootCodeCatalog(PciId(1) + " bc_196.bin v1.9.6\n");
    int status = -1;
    const Json plan = PlanJson({}, status);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(plan["forced"], true);
    EXPECT_EQ(plan["adapters"][0]["writes"],
              Json::parse(R"([{"kind":"clp",
        "image":"/opt/orvan/nic_fw/nx2/clp/clp_100.rom","size":)" +
                          std::to_string(clp.size()) + R"(,"sha256":")" + Sha256Of(clp) + R"(",
        "from":"8.3.5","to":"1.0.0",
        "backup":"/var/opt/orvan/nicfw_backup/02A0B0C0D000.bc1.9.6.p0.0.0.bin","forced":true}])"));
    ASSERT_EQ(plan["adapters"][1]["writes"].size(), 1u);
    EXPECT_EQ(plan["adapters"][1]["writes"][0]["to"], "1.9.6");

    ClearRecords();
    EXPECT_EQ(Run({"-s"}).Status, 0);
    EXPECT_EQ(FlashToolArguments(), PlannedToolRuns(plan));
}

TEST_F(PlanTest, HostileLibraryAndCatalogTextsStayValidJsonAndNeverReachTheTerminalRaw)
{
    sim::AdapterSpec hostile = MakeAdapter(0);
    hostile.Name = "Bad\x01\x1b[31m \"quoted\" \\ \xff\xfe \xc3 end";
    hostile.Description = "x (eth\x7f\x02\xff)";
    AddNvram(hostile.NvramFile, sim::BuildNvramImage(MakeNvram(0)));
    AddAdapter(hostile);
    // A name that fills the library's field with no NUL after it.
    sim::AdapterSpec longName = MakeAdapter(1);
    longName.Name = std::string(200, 'N');
    AddNvram(longName.NvramFile, sim::BuildNvramImage(MakeNvram(1)));
    AddAdapter(longName);
    // Two image names that differ only in bytes that are not UTF-8.
    BootCodeCatalog(PciId(0) + " bc_\x01\xff\x7f.bin v2.0.1\n" + PciId(1) + " bc_\x01\xfe\x7f.bin v2.0.1\n");
    WriteCatalogImage("bootcode", "bc_\x01\xff\x7f.bin", sim::BuildNvramImage(MakeNvram(0)));
    WriteCatalogImage("bootcode", "bc_\x01\xfe\x7f.bin", sim::BuildNvramImage(MakeNvram(1)));
    // Two option ROM files that do not exist, under names alike but for such bytes.
    PxeCatalog(PciId(0) + " pxe_\x01\xff\x7f.rom -\n" + PciId(1) + " pxe_\x01\xfe\x7f.rom -\n");

    const RunResult json = RunPlan({"--json"});
    EXPECT_EQ(json.Status, 2);
    EXPECT_FALSE(HasControlBytes(json.Out, false));
    EXPECT_EQ(json.Out.find('\0'), std::string::npos);
    EXPECT_NE(json.Out.find("\\u0001"), std::string::npos);
    EXPECT_NE(json.Out.find("\\u001b"), std::string::npos);
    const Json plan = ParsePlan(json.Out);
    ASSERT_TRUE(plan.is_object());
    const std::string name = plan["adapters"][0]["name"];
    EXPECT_EQ(name.find('\xff'), std::string::npos);
    EXPECT_NE(name.find("\xEF\xBF\xBD"), std::string::npos) << "invalid UTF-8 becomes U+FFFD";
    EXPECT_NE(name.find("\"quoted\" \\"), std::string::npos);
    const std::string image = plan["adapters"][0]["writes"][0]["image"];
    EXPECT_EQ(image.rfind("/opt/orvan/nic_fw/nx2/bootcode/bc_\x01", 0), 0u);
    const std::string longText = plan["adapters"][1]["name"];
    EXPECT_FALSE(longText.empty());
    EXPECT_EQ(longText, std::string(longText.size(), 'N'));

    // Readable forms alike, faithful forms not: the bytes stand beside.
    const Json& write0 = plan["adapters"][0]["writes"][0];
    const Json& write1 = plan["adapters"][1]["writes"][0];
    EXPECT_EQ(write0["image"], write1["image"]);
    EXPECT_EQ(write0["image_hex"],
              "2f6f70742f6f7276616e2f6e69635f66772f6e78322f626f6f74636f64652f62635f01ff7f2e62696e");
    EXPECT_EQ(write1["image_hex"],
              "2f6f70742f6f7276616e2f6e69635f66772f6e78322f626f6f74636f64652f62635f01fe7f2e62696e");
    EXPECT_EQ(KeysOf(write0), (std::vector<std::string>{"kind", "image", "image_hex", "size", "sha256",
                                                        "from", "to", "backup", "forced"}));
    EXPECT_EQ(KeysOf(plan["adapters"][0]),
              (std::vector<std::string>{"index", "mac", "pci_id", "name", "name_hex", "interface",
                                        "interface_hex", "installed", "writes"}));
    EXPECT_EQ(plan["adapters"][0]["name_hex"], "426164011b5b33316d202271756f74656422205c20fffe20c320656e64");
    EXPECT_EQ(plan["adapters"][0]["interface_hex"], "6574687f02ff");
    EXPECT_EQ(KeysOf(plan["adapters"][1]), AdapterKeys) << "texts that are UTF-8 get no second form";
    // Neither option ROM file exists: both warnings name it, by its bytes too.
    ASSERT_EQ(plan["warnings"].size(), 2u);
    ASSERT_EQ(plan["warnings_hex"].size(), 2u);
    EXPECT_NE(plan["warnings_hex"][0].get<std::string>().find("7078655f01ff7f2e726f6d"), std::string::npos);
    EXPECT_NE(plan["warnings_hex"][1].get<std::string>().find("7078655f01fe7f2e726f6d"), std::string::npos);

    const RunResult text = RunPlan({});
    EXPECT_EQ(text.Status, 2);
    EXPECT_FALSE(HasControlBytes(text.Out, true));
    EXPECT_NE(text.Out.find("Adapter 0: Bad?"), std::string::npos) << text.Out;
}

TEST_F(PlanTest, EntriesTheSilentRunPassesOverQuietlyAreWarnedAbout)
{
    AddStandardAdapter(0);
    AddStandardAdapter(1, sim::OptionRom::Clp);
    fs::create_directories(CatalogDir + "/pxe/subdir");
    WriteCatalogImage("pxe", "big.rom", std::vector<uint8_t>(0x100001, 0x55));
    WriteCatalogImage("pxe", "pxe_840.rom", sim::BuildOptionRomFile(sim::OptionRom::Pxe, 8, 4, 0));
    PxeCatalog(PciId(0) + " missing.rom -\n" + PciId(0) + " subdir -\n" + PciId(0) + " big.rom -\n" +
               PciId(0) + " pxe_840.rom -\n");
    BootCodeCatalog(PciId(1) + " bc_201.bin 2.0.1\n" + PciId(1) + " bc_202.bin v2.0.2\n");
    WriteCatalogImage("clp", "clp_900.rom", sim::BuildOptionRomFile(sim::OptionRom::Clp, 9, 0, 0));
    ClpCatalog(PciId(1) + " " + std::string(4080, 'x') + " v9.0.0\n" + PciId(1) + " clp_x.rom v3\n" +
               PciId(1) + " clp_900.rom v9.0.0\n");

    const std::string pxe0 = "adapter 0 (MAC 02A0B0C0D000): PXE image /opt/orvan/nic_fw/nx2/pxe/";
    const std::string from1 = "adapter 1 (MAC 02A0B0C0D001): ";
    const std::vector<std::string> warnings = {
        pxe0 + "missing.rom cannot be read (No such file or directory); the entry is passed over",
        pxe0 + "subdir cannot be read (it is a directory); the entry is passed over",
        pxe0 + "big.rom cannot be read (it is larger than 1048576 bytes); the entry is passed over",
        from1 + "boot code catalog entry with the version '2.0.1' gives no version; the boot code search "
                "ends there",
        from1 + "CLP catalog entry with a file name too long for a path; the entry is passed over",
        from1 + "CLP catalog entry with the version 'v3' gives no version; the entry is passed over",
    };
    int status = -1;
    const Json plan = PlanJson({}, status);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(plan["warnings"], Json(warnings));
    EXPECT_EQ(plan["writes"], 2);

    const RunResult text = RunPlan({});
    for (const std::string& warning : warnings)
        EXPECT_NE(text.Out.find("\nwarning: " + warning + "\n"), std::string::npos) << warning;

    // The silent run writes exactly that, and logs what it passed over.
    ClearRecords();
    const RunResult run = Run({"-s"});
    EXPECT_EQ(run.Out, "");
    EXPECT_EQ(FlashToolArguments(), PlannedToolRuns(plan));
    EXPECT_NE(Log().find("File size 1048577 is too big, max is 1048576!\r\n"), std::string::npos);
}

// The run refuses to write an image it could not read when it offered it
// (boot code and CLP images are read only for that): the plan leaves the
// write out and says why.
TEST_F(PlanTest, AnImageTheRunWouldNotWriteIsLeftOutWithAWarning)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc_gone.bin v2.0.1\n");
    fs::remove(CatalogDir + "/bootcode/bc_gone.bin");
    int status = -1;
    const Json plan = PlanJson({}, status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(plan["writes"], 0);
    EXPECT_EQ(plan["warnings"], Json::array({"adapter 0 (MAC 02A0B0C0D000): boot code image "
                                             "/opt/orvan/nic_fw/nx2/bootcode/bc_gone.bin cannot be read "
                                             "(No such file or directory); the run would not write it"}));

    ClearRecords();
    const RunResult run = Run({"-s"});
    EXPECT_EQ(run.Status, 3);
    EXPECT_EQ(FlashToolArguments(), PlannedToolRuns(plan));
    EXPECT_NE(Log().find("Upgrading Boot Code 1.9.6 to 2.0.1\nERROR: Image "
                         "/opt/orvan/nic_fw/nx2/bootcode/bc_gone.bin cannot be read; it was not written\n"),
              std::string::npos)
        << Log();
}

TEST_F(PlanTest, FailingLibraryCallsAtAnyAdapterStillGiveThePlanTheSilentRunCarriesOut)
{
    struct Fault {
        const char* Name;
        void (*Apply)(sim::AdapterSpec&);
    };
    const Fault faults[] = {
        {"BmapiGetPhyNic", [](sim::AdapterSpec& a) { a.PhyNicStatus = 0x21; }},
        {"BmapiGetBRCMNicInfoEx", [](sim::AdapterSpec& a) { a.NicInfoStatus = 0x22; }},
        {"BmapiGet5706FwInfo", [](sim::AdapterSpec& a) { a.FwInfoStatus = 0x23; }},
        {"BmapiInitDiag", [](sim::AdapterSpec& a) { a.InitDiagStatus = 0x24; }},
        {"BmapiUnInitDiag", [](sim::AdapterSpec& a) { a.UnInitDiagStatus = 0x25; }},
        {"directory read", [](sim::AdapterSpec& a) { a.ReadFailOffsets = {0x18}; }},
        {"signature read", [](sim::AdapterSpec& a) { a.ReadFailOffsets = {0x420}; }},
    };
    const sim::OptionRom roms[] = {sim::OptionRom::Pxe, sim::OptionRom::Clp, sim::OptionRom::Iscsi};
    for (const Fault& fault : faults) {
        for (int position = 0; position < 3; ++position) {
            SCOPED_TRACE(std::string(fault.Name) + " fails at adapter " + std::to_string(position));
            ResetFleet();
            std::string bootCode, pxe, clp;
            for (int i = 0; i < 3; ++i) {
                sim::AdapterSpec spec = MakeAdapter(10 + i, roms[i]);
                spec.FileName = "adapter" + std::to_string(i) + ".conf";
                if (i == position)
                    fault.Apply(spec);
                AddNvram(spec.NvramFile, sim::BuildNvramImage(MakeNvram(10 + i, roms[i])));
                AddAdapter(spec);
                bootCode += PciId(10 + i) + " bc_201.bin v2.0.1\n";
                pxe += PciId(10 + i) + " pxe_840.rom -\n";
                clp += PciId(10 + i) + " clp_900.rom v9.0.0\n";
            }
            BootCodeCatalog(bootCode);
            WriteCatalogImage("pxe", "pxe_840.rom", sim::BuildOptionRomFile(sim::OptionRom::Pxe, 8, 4, 0));
            PxeCatalog(pxe);
            WriteCatalogImage("clp", "clp_900.rom", sim::BuildOptionRomFile(sim::OptionRom::Clp, 9, 0, 0));
            ClpCatalog(clp);

            const RunResult planned = RunPlan({"--json"});
            EXPECT_EQ(planned.Err, "");
            const Json plan = ParsePlan(planned.Out);
            ClearRecords();
            const RunResult run = Run({"-s"});
            EXPECT_EQ(run.Out, "");
            const auto toolRuns = FlashToolArguments();
            EXPECT_EQ(toolRuns, PlannedToolRuns(plan));
            EXPECT_EQ(planned.Status, toolRuns.empty() ? 0 : 2);
        }
    }
}

// The demo fleet and catalog: the plan parses, has work, and is empty after
// the silent run has written it with the stand-in tool.
TEST_F(PlanTest, DemoFleetPlanIsTwoBeforeTheSilentRunAndZeroAfterWithTheNewVersionsInstalled)
{
    ASSERT_TRUE(sim::WriteDemoFleet(FleetDir));
    ASSERT_TRUE(sim::WriteDemoCatalog(CatalogDir));
    Tools.RealWrenflash = true;

    const RunResult before = RunPlan({"--json"});
    EXPECT_EQ(before.Status, 2);
    const Json plan = ParsePlan(before.Out);
    EXPECT_EQ(plan["writes"], 3);
    if (fs::exists("/usr/bin/python3")) {
        const std::string file = Root + "/plan.json";
        sim::WriteFile(file, std::vector<uint8_t>(before.Out.begin(), before.Out.end()));
        const std::string command = "/usr/bin/python3 -m json.tool < '" + file + "' > /dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    const RunResult table = RunPlan({});
    for (const std::string& line : SplitLines(table.Out))
        EXPECT_LE(line.size(), 80u) << line;

    const RunResult run = Run({"-s"});
    EXPECT_EQ(run.Status, 0);

    int status = -1;
    const Json after = PlanJson({}, status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(after["writes"], 0);
    EXPECT_EQ(after["adapters"][0]["installed"]["boot_code"], "2.0.1");
    EXPECT_EQ(after["adapters"][0]["installed"]["pxe"], "1.5.0");
    EXPECT_EQ(after["adapters"][1]["installed"]["clp"], "3.1.2");
    EXPECT_EQ(after["adapters"][2]["installed"]["iscsi"], "2.2.1");
}

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// A catalog that was never deployed is not "up to date": with none of the
// three catalog files the plan has nothing to stand on.
TEST_F(PlanTest, WithNoCatalogFilePresentThereIsNoPlanAndTheStatusIsOne)
{
    const std::string reason = "tidemark-plan: cannot plan: no firmware catalog under /opt/orvan/nic_fw/nx2/";
    struct Case {
        const char* Name;
        std::function<void()> Arrange;
        std::string Err;
    };
    const Case cases[] = {
        {"empty catalog folders", [] {}, reason + "\n"},
        {"no catalog folder at all", [this] { fs::remove_all(CatalogDir); }, reason + "\n"},
        {"a folder and a link loop in the catalog files' places",
         [this] {
             fs::create_directories(CatalogDir + "/bootcode/bootcode.info");
             fs::create_symlink("pxe.info", CatalogDir + "/pxe/pxe.info");
         },
         reason + " (bootcode/bootcode.info is not a regular file, pxe/pxe.info cannot be read)\n"},
    };
    const std::string saved = Root + "/saved/plan.json";
    for (const Case& c : cases) {
        fs::remove_all(CatalogDir);
        for (const char* kind : {"bootcode", "pxe", "clp"})
            fs::create_directories(CatalogDir + "/" + kind);
        ResetFleet();
        AddStandardAdapter(0);
        c.Arrange();
        fs::create_directories(Root + "/saved");
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{}, {"--json"}, {"-F", "--json", "--out", saved}}) {
            SCOPED_TRACE(std::string(c.Name) + ", " + Joined(args));
            ClearRecords();
            const RunResult r = RunPlan(args);
            EXPECT_EQ(r.Status, 1);
            EXPECT_EQ(r.Out, "");
            EXPECT_EQ(r.Err, c.Err);
            EXPECT_FALSE(fs::exists(saved));
            EXPECT_EQ(CountBmapiCalls("BmapiUninitialize"), 1u);
        }
    }
    // tidemark itself still takes a missing catalog as nothing to write.
    ClearRecords();
    EXPECT_EQ(Run({"-s"}).Status, 2);
    EXPECT_TRUE(FlashToolArguments().empty());
}

TEST_F(PlanTest, ACatalogWithOnlySomeKindsIsPlannedAndTheOthersAreNamed)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    WriteCatalogImage("bootcode", "bc_201.bin", sim::BuildNvramImage(MakeNvram(0)));
    struct Case {
        const char* Name;
        std::function<void()> Arrange;
        const char *Pxe, *Clp;
        std::string Lines;
    };
    const Case cases[] = {
        {"only boot code", [] {}, "missing", "missing",
         "catalog /opt/orvan/nic_fw/nx2/pxe/pxe.info is missing\n"
         "catalog /opt/orvan/nic_fw/nx2/clp/clp.info is missing\n"},
        {"a link loop and a folder",
         [this] {
             fs::create_symlink("pxe.info", CatalogDir + "/pxe/pxe.info");
             fs::create_directories(CatalogDir + "/clp/clp.info");
         },
         "unreadable", "not-regular",
         "catalog /opt/orvan/nic_fw/nx2/pxe/pxe.info cannot be read\n"
         "catalog /opt/orvan/nic_fw/nx2/clp/clp.info is not a regular file\n"},
        {"all three", [this] { PxeCatalog(""), ClpCatalog(""); }, "present", "present", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        fs::remove_all(CatalogDir + "/pxe");
        fs::remove_all(CatalogDir + "/clp");
        fs::create_directories(CatalogDir + "/pxe");
        fs::create_directories(CatalogDir + "/clp");
        c.Arrange();
        int status = -1;
        const Json plan = PlanJson({}, status);
        EXPECT_EQ(status, 2);
        EXPECT_EQ(plan["writes"], 1);
        EXPECT_EQ(plan["catalogs"]["boot_code"]["state"], "present");
        EXPECT_EQ(plan["catalogs"]["pxe"]["state"], c.Pxe);
        EXPECT_EQ(plan["catalogs"]["clp"]["state"], c.Clp);
        EXPECT_EQ(plan["warnings"], Json::array());
        const RunResult text = RunPlan({});
        const std::string head = "What \"tidemark -s\" would write (adapter library 3.0.2):\n\n";
        EXPECT_EQ(text.Out.substr(0, text.Out.find("Adapter 0:")),
                  head + c.Lines + (c.Lines.empty() ? "" : "\n"));
    }
}

TEST_F(PlanTest, EveryWriteNamesItsImageBySizeAndSha256AndAnImageThatCannotBeReadIsLeftOut)
{
    for (int i = 0; i < 4; ++i)
        AddStandardAdapter(i);
    const std::vector<uint8_t> shared = sim::BuildNvramImage(MakeNvram(0));
    WriteCatalogImage("bootcode", "shared.bin", shared);
    fs::create_directories(CatalogDir + "/bootcode/folder.bin");
    BootCodeCatalog(PciId(0) + " shared.bin v2.0.1\n" + PciId(1) + " shared.bin v2.0.1\n" + PciId(2) +
                    " missing.bin v2.0.1\n" + PciId(3) + " folder.bin v2.0.1\n");
    fs::remove(CatalogDir + "/bootcode/missing.bin");
    int status = -1;
    Json plan = PlanJson({}, status);
    EXPECT_EQ(status, 2);
    ASSERT_EQ(plan["writes"], 2);
    for (int i : {0, 1}) {
        EXPECT_EQ(plan["adapters"][i]["writes"][0]["size"], shared.size());
        EXPECT_EQ(plan["adapters"][i]["writes"][0]["sha256"], Sha256Of(shared));
    }
    // The run would refuse to write an image it cannot identify: the plan leaves it out.
    for (int i : {2, 3})
        EXPECT_EQ(plan["adapters"][i]["writes"], Json::array());
    const std::string image = " image /opt/orvan/nic_fw/nx2/bootcode/";
    EXPECT_EQ(plan["warnings"],
              Json({"adapter 2 (MAC 02A0B0C0D002): boot code" + image +
                        "missing.bin cannot be read (No such file or directory); the run would not write it",
                    "adapter 3 (MAC 02A0B0C0D003): boot code" + image +
                        "folder.bin cannot be read (it is a directory); the run would not write it"}));

    // Another image under the same name is another plan.
    const std::string digest = plan["digest"];
    std::vector<uint8_t> changed = shared;
    changed.back() ^= 1;
    WriteCatalogImage("bootcode", "shared.bin", changed);
    plan = PlanJson({}, status);
    EXPECT_EQ(plan["adapters"][0]["writes"][0]["sha256"], Sha256Of(changed));
    EXPECT_NE(plan["digest"], digest);
}

TEST_F(PlanTest, OutSavesTheDocumentWholeWithModeSixHundredAndStillPrintsAsUsual)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    WriteCatalogImage("bootcode", "bc_201.bin", sim::BuildNvramImage(MakeNvram(0)));
    const std::string folder = Root + "/saved";
    const std::string saved = folder + "/plan.json";
    fs::create_directories(folder);
    sim::WriteFile(saved, Bytes("an older plan\n"));
    fs::permissions(saved, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                               fs::perms::others_read);

    const RunResult json = RunPlan({"--json", "--out", saved});
    EXPECT_EQ(json.Status, 2);
    EXPECT_EQ(json.Err, "");
    EXPECT_EQ(ReadText(saved), json.Out);
    EXPECT_EQ(fs::status(saved).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    fs::remove(saved);
    const RunResult table = RunPlan({"--out", saved, "-F"});
    EXPECT_EQ(table.Status, 2);
    EXPECT_EQ(table.Out.rfind("What \"tidemark -s -F\" would write", 0), 0u) << table.Out;
    const Json document = ParsePlan(ReadText(saved));
    EXPECT_EQ(document["run"], "tidemark -s -F");
    EXPECT_EQ(document, ParsePlan(RunPlan({"-F", "--json"}).Out));
    KeepDocument(ReadText(saved));

    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"plan.json"}) << "no temporary file is left";
}

TEST_F(PlanTest, OutRefusesLinksFoldersAndBadArgumentsWithStatusOneAndNothingPrintedOrLeft)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    const std::string folder = Root + "/saved";
    fs::create_directories(folder + "/a-folder");
    sim::WriteFile(folder + "/target", Bytes("kept\n"));
    fs::create_symlink(folder + "/target", folder + "/link");
    fs::create_symlink(folder + "/nowhere", folder + "/dangling");
    const std::string cannotSave = "tidemark-plan: cannot save the plan in '";
    const std::string once = "tidemark-plan: --out takes one file name, once; see tidemark-plan --help\n";
    struct Case {
        std::vector<std::string> Args;
        std::string Err;
    };
    const Case cases[] = {
        {{"--out", folder + "/link"}, cannotSave + folder + "/link': it is a symbolic link\n"},
        {{"--out", folder + "/dangling"}, cannotSave + folder + "/dangling': it is a symbolic link\n"},
        {{"--out", folder + "/a-folder"}, cannotSave + folder + "/a-folder': it is not a regular file\n"},
        {{"--json", "--out", folder + "/a-folder/"},
         cannotSave + folder + "/a-folder/': it is not a file name\n"},
        {{"--out", folder + "/missing/plan.json"},
         cannotSave + folder +
             "/missing/plan.json': cannot create a file beside it: No such file or directory\n"},
        {{"--out"}, once},
        {{"--out", ""}, once},
        {{"--json", "--out", folder + "/a", "--out", folder + "/b"}, once},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Joined(c.Args));
        const RunResult r = RunPlan(c.Args);
        EXPECT_EQ(r.Status, 1);
        EXPECT_EQ(r.Out, "");
        EXPECT_EQ(r.Err, c.Err);
    }
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"a-folder", "dangling", "link", "target"}));
    EXPECT_EQ(ReadText(folder + "/target"), "kept\n");
    EXPECT_TRUE(fs::is_empty(folder + "/a-folder"));
}

// While an upgrade holds the run lock the plan would be stale at once: it
// says so, reads no adapter, and plans again once the upgrade has ended.
TEST_F(PlanTest, SaysThatAnUpgradeIsInProgressWhileOneHoldsTheLock)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    Tools.WrenflashWaits = true;
    StartedRun upgrade = Start({"-s"});
    ASSERT_TRUE(WaitForFile(ToolStartedPath()));

    const RunResult during = RunPlan({"--json"});
    EXPECT_EQ(during.Status, 1);
    EXPECT_EQ(during.Out, "");
    EXPECT_EQ(during.Err, "tidemark-plan: cannot plan: a firmware upgrade is in progress (the lock "
                          "/run/tidemark.lock is held by tidemark (pid " +
                              std::to_string(upgrade.Pid) + "))\n");
    EXPECT_EQ(CountBmapiCalls("BmapiInitializeEx"), 1u) << "only the upgrade's";
    int status = -1;
    const Json metrics = Metrics({}, status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(ValueOf(metrics, "tidemark_upgrade_in_progress"), 1.0);
    EXPECT_EQ(ValueOf(metrics, "tidemark_plan_success"), 0.0);
    ASSERT_EQ(SamplesOf(metrics, "tidemark_plan_failure_info").size(), 1u);
    EXPECT_EQ(SamplesOf(metrics, "tidemark_plan_failure_info")[0].first["reason"],
              "a firmware upgrade is in progress");
    EXPECT_EQ(CountBmapiCalls("BmapiInitializeEx"), 1u) << "nor for the metrics";

    ReleaseTool();
    EXPECT_EQ(Finish(upgrade).Status, 0);
    const RunResult after = RunPlan({"--json"});
    EXPECT_EQ(after.Status, 2) << "the recording tool leaves the fleet as it was";
    EXPECT_EQ(after.Err, "");
}

// The label values of the firmware and pending-write samples, as one text each.
std::multiset<std::string> LabelledSamples(const Json& metrics, const std::string& family)
{
    std::multiset<std::string> texts;
    for (const auto& [labels, value] : SamplesOf(metrics, family)) {
        std::string text;
        for (const auto& [key, label] : labels.get<std::map<std::string, std::string>>())
            text += key + "=" + label + " ";
        texts.insert(text + std::to_string(static_cast<int>(value)));
    }
    return texts;
}

// What the plan document says, in the same form as LabelledSamples.
std::multiset<std::string> FirmwareOfPlan(const Json& plan)
{
    std::multiset<std::string> texts;
    for (const Json& adapter : plan["adapters"])
        for (const auto& item : adapter["installed"].items())
            if (!item.value().is_null())
                texts.insert("interface=" + adapter["interface"].get<std::string>() + " kind=" + item.key() +
                             " mac=" + adapter["mac"].get<std::string>() +
                             " version=" + item.value().get<std::string>() + " 1");
    return texts;
}

std::multiset<std::string> PendingOfPlan(const Json& plan)
{
    std::multiset<std::string> texts;
    for (const Json& adapter : plan["adapters"])
        for (const char* kind : {"boot_code", "pxe", "clp"}) {
            const auto count = std::count_if(adapter["writes"].begin(), adapter["writes"].end(),
                                             [kind](const Json& write) { return write["kind"] == kind; });
            texts.insert("interface=" + adapter["interface"].get<std::string>() + " kind=" + kind +
                         " mac=" + adapter["mac"].get<std::string>() + " " + std::to_string(count));
        }
    return texts;
}

// On the demo fleet, before and after the silent run: the metrics say what
// the plan document says.
TEST_F(PlanTest, PrometheusGivesThePlansFirmwarePendingWritesCatalogsAndWhenItRan)
{
    ASSERT_TRUE(sim::WriteDemoFleet(FleetDir));
    ASSERT_TRUE(sim::WriteDemoCatalog(CatalogDir));
    Tools.RealWrenflash = true;
    const std::vector<std::string> families = {
        "tidemark_firmware_info", "tidemark_pending_writes",         "tidemark_catalog_info",
        "tidemark_plan_success",  "tidemark_plan_timestamp_seconds", "tidemark_upgrade_in_progress"};
    for (const int expected : {2, 0}) {
        SCOPED_TRACE(expected == 2 ? "before the run" : "after the run");
        int status = -1;
        const Json plan = PlanJson({}, status);
        ASSERT_EQ(status, expected);
        const auto before = static_cast<double>(std::time(nullptr));
        const Json metrics = Metrics({}, status);
        const auto after = static_cast<double>(std::time(nullptr));
        EXPECT_EQ(status, expected);
        ASSERT_TRUE(metrics.is_object());
        EXPECT_EQ(KeysOf(metrics), families);
        for (const auto& item : metrics.items()) {
            EXPECT_EQ(item.value()["type"], "gauge") << item.key();
            EXPECT_FALSE(item.value()["help"].get<std::string>().empty()) << item.key();
        }
        EXPECT_EQ(ValueOf(metrics, "tidemark_plan_success"), 1.0);
        const double taken = ValueOf(metrics, "tidemark_plan_timestamp_seconds");
        EXPECT_TRUE(taken >= before && taken <= after) << taken;
        EXPECT_EQ(ValueOf(metrics, "tidemark_upgrade_in_progress"), 0.0);
        EXPECT_EQ(CatalogStates(metrics),
                  (std::map<std::string, std::string>{
                      {"boot_code", "present"}, {"pxe", "present"}, {"clp", "present"}}));
        EXPECT_EQ(LabelledSamples(metrics, "tidemark_firmware_info"), FirmwareOfPlan(plan));
        EXPECT_EQ(LabelledSamples(metrics, "tidemark_pending_writes"), PendingOfPlan(plan));
        EXPECT_EQ(FirmwareOfPlan(plan).size(), 6u) << "the demo fleet's installed images";
        if (expected == 2) {
            ASSERT_EQ(Run({"-s"}).Status, 0);
        }
    }
}

// A plan that cannot be made still gives the metrics, with success 0, the
// reason and the catalogs' states: "no catalog" never passes for "up to date".
TEST_F(PlanTest, PrometheusWithoutAPlanSaysWhyAndHowTheCatalogsStand)
{
    const std::string noCatalog = "no firmware catalog under /opt/orvan/nic_fw/nx2/";
    using States = std::map<std::string, std::string>;
    const States missing = {{"boot_code", "missing"}, {"pxe", "missing"}, {"clp", "missing"}};
    struct Case {
        const char* Name;
        std::function<void()> Arrange;
        std::string Reason;
        States Catalogs;
    };
    const Case cases[] = {
        {"empty catalog folders", [this] { AddStandardAdapter(0); }, noCatalog, missing},
        {"a folder and a link loop in the catalog files' places",
         [this] {
             AddStandardAdapter(0);
             fs::create_directories(CatalogDir + "/bootcode/bootcode.info");
             fs::create_symlink("pxe.info", CatalogDir + "/pxe/pxe.info");
         },
         noCatalog + " (bootcode/bootcode.info is not a regular file, pxe/pxe.info cannot be read)",
         {{"boot_code", "not-regular"}, {"pxe", "unreadable"}, {"clp", "missing"}}},
        {"no adapter, before the catalogs are looked at", [] {}, "no supported network adapters", missing},
        {"no adapter and a catalog",
         [this] { BootCodeCatalog(""); },
         "no supported network adapters",
         {{"boot_code", "present"}, {"pxe", "missing"}, {"clp", "missing"}}},
    };
    for (const Case& c : cases) {
        fs::remove_all(CatalogDir);
        for (const char* kind : {"bootcode", "pxe", "clp"})
            fs::create_directories(CatalogDir + "/" + kind);
        ResetFleet();
        c.Arrange();
        for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"-F"}}) {
            SCOPED_TRACE(std::string(c.Name) + ", " + Joined(args));
            int status = -1;
            const Json metrics = Metrics(args, status);
            EXPECT_EQ(status, 1);
            EXPECT_EQ(ValueOf(metrics, "tidemark_plan_success"), 0.0);
            const auto failure = SamplesOf(metrics, "tidemark_plan_failure_info");
            ASSERT_EQ(failure.size(), 1u);
            EXPECT_EQ(failure[0].first["reason"], c.Reason);
            EXPECT_EQ(CatalogStates(metrics), c.Catalogs);
            EXPECT_FALSE(std::isnan(ValueOf(metrics, "tidemark_plan_timestamp_seconds")));
            EXPECT_TRUE(SamplesOf(metrics, "tidemark_pending_writes").empty());
            EXPECT_TRUE(SamplesOf(metrics, "tidemark_firmware_info").empty());
        }
    }
}

// tidemark-apply's last outcome: each member of the right type gives its
// sample; a file that cannot be trusted as a whole gives none.
TEST_F(PlanTest, PrometheusReadsTheLastApplyOutcomeDefensively)
{
    AddStandardAdapter(0);
    BootCodeCatalog("");
    const std::string good = R"({"format_version": "1.0", "finished": "2026-12-08T15:00:00Z",
        "finished_unix": 1796742000, "status": 2, "verified": 2, "failed": 1, "not_verified": 0, "not_run": 3})";
    using Values = std::map<std::string, double>;
    struct Case {
        const char* Name;
        std::function<void()> Arrange;
        Values Expected;
    };
    auto file = [this](const std::string& text) {
        return
            [this, text] { sim::WriteFile(ApplyLastFile(), std::vector<uint8_t>(text.begin(), text.end())); };
    };
    const Case cases[] = {
        {"absent", [] {}, {}},
        {"complete",
         file(good),
         {{"timestamp", 1796742000},
          {"status", 2},
          {"verified", 2},
          {"failed", 1},
          {"not_verified", 0},
          {"not_run", 3}}},
        {"a later minor format, with a member more",
         file(R"({"format_version": "1.3", "status": 0, "verified": 1, "skipped": 4})"),
         {{"status", 0}, {"verified", 1}}},
        {"members of the wrong types",
         file(R"({"format_version": "1.0", "finished_unix": "1796742000", "status": 1.5, "verified": -1,
                  "failed": "0", "not_verified": true, "not_run": 3})"),
         {{"not_run", 3}}},
        {"cut short", file(good.substr(0, good.size() / 2)), {}},
        {"another major format", file(R"({"format_version": "2.0", "status": 0, "verified": 1})"), {}},
        {"no format", file(R"({"status": 0, "verified": 1})"), {}},
        {"not an object", file("[1, 2]"), {}},
        {"larger than any outcome", file(good + std::string(5000, ' ')), {}},
        {"a key given twice", file(R"({"format_version": "1.0", "status": 0, "status": 1})"), {}},
        {"a folder in its place", [this] { fs::create_directories(ApplyLastFile()); }, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::error_code ec;
        fs::remove_all(ApplyLastFile(), ec);
        c.Arrange();
        int status = -1;
        const Json metrics = Metrics({}, status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(ValueOf(metrics, "tidemark_plan_success"), 1.0);
        Values got;
        if (const double at = ValueOf(metrics, "tidemark_apply_last_timestamp_seconds"); !std::isnan(at))
            got["timestamp"] = at;
        if (const double last = ValueOf(metrics, "tidemark_apply_last_status"); !std::isnan(last))
            got["status"] = last;
        for (const auto& [labels, value] : SamplesOf(metrics, "tidemark_apply_last_writes"))
            got[labels.at("outcome").get<std::string>()] = value;
        EXPECT_EQ(got, c.Expected);
    }
}

// Library texts reach the labels escaped, and read back as the plan
// document's readable form; --prometheus takes neither --json nor --out.
TEST_F(PlanTest, PrometheusEscapesLabelValuesAndIsRefusedBesideJsonOrOut)
{
    sim::AdapterSpec hostile = MakeAdapter(0);
    hostile.Description = "x (e\"t\\h\xff)";
    AddNvram(hostile.NvramFile, sim::BuildNvramImage(MakeNvram(0)));
    AddAdapter(hostile);
    BootCodeCatalog("");
    int status = -1;
    const Json plan = PlanJson({}, status);
    const std::string interface = plan["adapters"][0]["interface"];
    ASSERT_NE(interface.find("e\"t\\h"), std::string::npos) << interface;
    const RunResult raw = RunPlan({"--prometheus"});
    EXPECT_NE(raw.Out.find("interface=\"e\\\"t\\\\h\xEF\xBF\xBD\""), std::string::npos) << raw.Out;
    const Json metrics = Metrics({}, status);
    const auto firmware = SamplesOf(metrics, "tidemark_firmware_info");
    ASSERT_FALSE(firmware.empty());
    for (const auto& [labels, value] : firmware)
        EXPECT_EQ(labels["interface"], interface);

    for (const std::vector<std::string>& args : {std::vector<std::string>{"--prometheus", "--json"},
                                                 {"--json", "--prometheus"},
                                                 {"--prometheus", "--out", Root + "/plan.json"},
                                                 {"-F", "--prometheus", "--json"}}) {
        SCOPED_TRACE(Joined(args));
        ClearRecords();
        const RunResult r = RunPlan(args);
        EXPECT_EQ(r.Status, 1);
        EXPECT_EQ(r.Out, "");
        EXPECT_EQ(r.Err, "tidemark-plan: --prometheus cannot be given with --json or --out; see "
                         "tidemark-plan --help\n");
        EXPECT_EQ(CountBmapiCalls("BmapiGetVersion"), 0u);
        EXPECT_FALSE(fs::exists(Root + "/plan.json"));
    }
}

// A lock file that cannot be used (here a link put in its place): the
// upgrade does not start without it, while the plan, which writes nothing,
// is made and says that it could not look.
TEST_F(PlanTest, ALockThatCannotBeUsedStopsTheUpgradeButNotThePlan)
{
    AddStandardAdapter(0);
    BootCodeCatalog(PciId(0) + " bc_201.bin v2.0.1\n");
    fs::create_symlink("/run/elsewhere", Root + "/run/tidemark.lock");
    const std::string why = "the lock /run/tidemark.lock cannot be used: Too many levels of symbolic links";

    const RunResult upgrade = Run({});
    EXPECT_EQ(upgrade.Status, 2);
    EXPECT_EQ(upgrade.Out, "Cannot start a firmware upgrade: " + why + ".\n");
    EXPECT_EQ(Log(), upgrade.Out);
    EXPECT_TRUE(BmapiTrace().empty());
    EXPECT_TRUE(Trace().empty());

    const RunResult plan = RunPlan({});
    EXPECT_EQ(plan.Status, 2);
    EXPECT_EQ(plan.Err,
              "tidemark-plan: cannot tell whether a firmware upgrade is in progress: " + why + "\n");
    EXPECT_FALSE(fs::exists(Root + "/run/elsewhere"));
}

} // namespace
} // namespace systest
