// The plan document read back: a saved plan gives the Plan it was written
// from, every kind of bad document is refused with its key named, and the
// comparison names the first field in which a saved plan and a new one
// differ. The last tests take real plans from the substitute library and the
// catalog at its fixed path (inside the sandbox).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fleet.h"
#include "planning/plan.h"
#include "planning/plan_compare.h"
#include "planning/plan_document.h"
#include "planning/plan_file.h"
#include "test_support.h"

namespace {

using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

ImageIdentity Identity(uint64_t size, uint8_t fill)
{
    ImageIdentity identity{};
    identity.Known = true;
    identity.Size = size;
    identity.Sha256.fill(fill);
    return identity;
}

PlannedWrite Write(ImageKind kind, const std::string& image, const std::string& backup)
{
    PlannedWrite write;
    write.Kind = kind;
    write.Image = image;
    write.Identity = Identity(2048, 0xA5);
    write.From = {1, 9, 6};
    write.To = FirmwareVersion{2, 0, 1};
    write.Backup = backup;
    write.Forced = true;
    return write;
}

// Two adapters, three writes; texts that are not UTF-8, an image in a
// subfolder without a version, warnings.
Plan SamplePlan()
{
    Plan plan;
    plan.Force = true;
    plan.Forced = true;
    plan.Library = {3, 0, 2};
    plan.Catalogs = {CatalogState::Present, CatalogState::Present, CatalogState::Missing};
    AdapterPlan a0;
    a0.Index = 0;
    a0.Mac = "02A0B0C0D000";
    a0.PciId = "5A17-2001-5A17-0100";
    a0.Name = "Adapter \xff";
    a0.Interface = "eth0";
    a0.BootCode = FirmwareVersion{1, 9, 6};
    a0.Pxe = FirmwareVersion{8, 3, 5};
    a0.Writes.push_back(Write(ImageKind::BootCode, "/opt/orvan/nic_fw/nx2/bootcode/bc.bin",
                              "/var/opt/orvan/nicfw_backup/02A0B0C0D000.bc1.9.6.p8.3.5.bin"));
    PlannedWrite pxe = Write(ImageKind::Pxe, "/opt/orvan/nic_fw/nx2/pxe/sub/p\xfe.rom",
                             "/var/opt/orvan/nicfw_backup/02A0B0C0D000.bc2.0.6.p8.3.5.bin");
    pxe.Identity = Identity(512, 0x5A);
    pxe.To.reset();
    a0.Writes.push_back(pxe);
    AdapterPlan a1;
    a1.Index = 1;
    a1.Mac = "02A0B0C0D001";
    a1.PciId = "5A17-2002-5A17-0101";
    a1.Name = "Adapter 1";
    a1.Interface = "eth1";
    a1.BootCode = FirmwareVersion{2, 0, 1};
    a1.Iscsi = FirmwareVersion{2, 2, 1};
    a1.Writes.push_back(Write(ImageKind::Clp, "/opt/orvan/nic_fw/nx2/clp/clp.rom",
                              "/var/opt/orvan/nicfw_backup/02A0B0C0D001.bc2.0.1.p2.2.1.bin"));
    plan.Adapters = {a0, a1};
    plan.Warnings = {"a warning", "a warning about p\xfe.rom"};
    return plan;
}

Json SampleJson() { return Json::parse(PlanDocument(SamplePlan())); }

// The document as an editor would save it after a change, digest renewed.
std::string Sealed(Json document)
{
    document["digest"] = PlanContentDigest(document.dump());
    return document.dump(2);
}

std::string ReasonFor(const std::string& text)
{
    Plan plan;
    std::string reason;
    EXPECT_FALSE(ReadPlanDocument(text, plan, reason));
    EXPECT_TRUE(plan.Adapters.empty()) << "a refused plan leaves nothing behind";
    return reason;
}

TEST(PlanDocumentTest, ASavedPlanReadsBackAsThePlanItWasWrittenFrom)
{
    const Plan plan = SamplePlan();
    const std::string text = PlanDocument(plan);
    Plan read;
    std::string reason;
    ASSERT_TRUE(ReadPlanDocument(text, read, reason)) << reason;
    EXPECT_FALSE(FirstDifference(plan, read));
    // Also what the comparison leaves out comes back, byte for byte.
    EXPECT_EQ(PlanDocument(read), text);
    EXPECT_EQ(read.Warnings, plan.Warnings);
    EXPECT_EQ(read.Catalogs, plan.Catalogs);

    // Key order and white space are not content; a later minor format may
    // add keys.
    Json document = Json::parse(text);
    document["format_version"] = "1.7";
    document["added_later"] = {{"anything", 1.5}};
    const std::string compact = Json::parse(Sealed(document)).dump();
    ASSERT_TRUE(ReadPlanDocument(compact, read, reason)) << reason;
    EXPECT_FALSE(FirstDifference(plan, read));
}

TEST(PlanDocumentTest, DocumentsThatAreNotWholeJsonObjectsAreRefused)
{
    const std::string good = PlanDocument(SamplePlan());
    std::string withKeyTwice = Sealed(SampleJson());
    withKeyTwice.insert(1, "\"run\": \"tidemark -s\",");
    Json withoutDigest = SampleJson();
    withoutDigest.erase("digest");
    const struct {
        const char* Name;
        std::string Text, Reason;
    } cases[] = {
        {"empty", "", "the plan is not JSON: it ends early (cut short?)"},
        {"cut short", good.substr(0, good.size() / 2), "the plan is not JSON: it ends early (cut short?)"},
        {"not JSON", "plan: yes", "the plan is not JSON: it goes wrong at byte 1"},
        {"something after", good + "x",
         "the plan is not JSON: it goes wrong at byte " + std::to_string(good.size() + 1)},
        {"bytes that are not UTF-8", "{\"a\": \"\xff\"}", "the plan is not JSON: it goes wrong at byte 8"},
        {"an array", "[1, 2]", "the plan is not a JSON object"},
        {"deep", std::string(100, '[') + std::string(100, ']'), "the plan nests deeper than 16 levels"},
        {"a key twice", withKeyTwice, "the plan gives a key twice in one object"},
        {"too large", std::string(PlanDocumentMaximum + 1, ' '), "the plan is larger than 8388608 bytes"},
        {"no digest", withoutDigest.dump(), "digest: missing"},
        {"edited without a new digest", std::string(good).replace(good.find("eth1"), 4, "eth9"),
         "digest: does not match the content: the plan was changed after it was written"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(ReasonFor(c.Text), c.Reason);
    }
}

// Each edit keeps the digest right, so that the reader's other checks must
// find it.
TEST(PlanDocumentTest, EditedDocumentsAreRefusedWithTheKeyAndTheProblemNamed)
{
    using Edit = std::function<void(Json&)>;
    auto set = [](const char* pointer, Json value) -> Edit {
        return [pointer, value](Json& d) { d[Json::json_pointer(pointer)] = value; };
    };
    auto erase = [](const char* pointer) -> Edit {
        return [pointer](Json& d) {
            const Json::json_pointer at(pointer);
            d[at.parent_pointer()].erase(at.back());
        };
    };
    const std::string w0 = "adapters[0].writes[0].";
    const struct {
        Edit Change;
        std::string Reason;
    } cases[] = {
        {set("/format_version", "2.0"), "format_version: is 2.0; this tidemark reads 1.x"},
        {set("/format_version", "1"), "format_version: not MAJOR.MINOR"},
        {set("/format_version", "01.0"), "format_version: not MAJOR.MINOR"},
        {set("/format_version", "1."), "format_version: not MAJOR.MINOR"},
        {set("/format_version", 1.0), "format_version: not a text"},
        {erase("/format_version"), "format_version: missing"},
        {set("/run", "tidemark -y"), "run: not \"tidemark -s\" or \"tidemark -s -F\""},
        {set("/library", "3.0"), "library: not a version M.m.b"},
        {set("/library", "3.00.2"), "library: not a version M.m.b"},
        {set("/library", nullptr), "library: not a version M.m.b"},
        {set("/catalogs/pxe/path", "/opt/x"), "catalogs.pxe.path: not /opt/orvan/nic_fw/nx2/pxe/pxe.info"},
        {set("/catalogs/clp/state", "gone"),
         "catalogs.clp.state: not present, missing, unreadable or not-regular"},
        {erase("/catalogs/boot_code"), "catalogs.boot_code: missing"},
        {[](Json& d) { d["catalogs"]["boot_code"]["state"] = d["catalogs"]["pxe"]["state"] = "missing"; },
         "catalogs: none is present: no plan is made without a catalog"},
        {set("/adapters", Json::object()), "adapters: not an array"},
        {set("/adapters/0/index", "0"), "adapters[0].index: not a whole number from 0 to 4294967295"},
        {set("/adapters/0/index", -1), "adapters[0].index: not a whole number from 0 to 4294967295"},
        {set("/adapters/1/index", 0), "adapters[1].index: is 0 at position 1"},
        {erase("/adapters/0/interface"), "adapters[0].interface: missing"},
        {set("/adapters/1/name", "A\x1b[2JB"), "adapters[1].name: holds a control character"},
        {set("/adapters/1/mac", std::string("02A0\0", 5)), "adapters[1].mac: holds a NUL"},
        {set("/adapters/0/name_hex", "41fe"),
         "adapters[0].name: does not match its bytes in adapters[0].name_hex"},
        {set("/adapters/0/name_hex", "41FF"),
         "adapters[0].name_hex: not pairs of lowercase hexadecimal digits"},
        {set("/adapters/0/name_hex", "41f"),
         "adapters[0].name_hex: not pairs of lowercase hexadecimal digits"},
        {set("/adapters/1/name_hex", "41"), "adapters[1].name_hex: given for a text that is UTF-8"},
        {set("/adapters/0/pci_id", "5a17-2001-5a17-0100"),
         "adapters[0].pci_id: not VVVV-DDDD-SSSS-IIII in upper-case hexadecimal digits"},
        {set("/adapters/0/installed/pxe", "8.3"), "adapters[0].installed.pxe: not a version M.m.b or null"},
        {erase("/adapters/0/installed/iscsi"), "adapters[0].installed.iscsi: missing"},
        {set("/adapters/0/writes", Json::object()), "adapters[0].writes: not an array"},
        {set("/adapters/0/writes/0/kind", "ipmi"), w0 + "kind: not boot_code, pxe or clp"},
        {set("/adapters/0/writes/0/image", "/opt/orvan/nic_fw/nx2/pxe/bc.bin"),
         w0 + "image: not a file under /opt/orvan/nic_fw/nx2/bootcode/"},
        {set("/adapters/0/writes/0/image", "/opt/orvan/nic_fw/nx2/bootcode/../../../../etc/shadow"),
         w0 + "image: not a file under /opt/orvan/nic_fw/nx2/bootcode/"},
        {set("/adapters/0/writes/0/image", "/opt/orvan/nic_fw/nx2/bootcode/"),
         w0 + "image: not a file under /opt/orvan/nic_fw/nx2/bootcode/"},
        {set("/adapters/0/writes/0/image", "/opt/orvan/nic_fw/nx2/bootcode/a//b.bin"),
         w0 + "image: not a file under /opt/orvan/nic_fw/nx2/bootcode/"},
        {set("/adapters/0/writes/0/image", "/opt/orvan/nic_fw/nx2/bootcode/" + std::string(4070, 'b')),
         w0 + "image: not a file under /opt/orvan/nic_fw/nx2/bootcode/"},
        {set("/adapters/0/writes/0/backup", "/var/opt/orvan/nicfw_backup/../nicfwupg.log"),
         w0 + "backup: not a file name in /var/opt/orvan/nicfw_backup/"},
        {set("/adapters/0/writes/0/backup", "/var/opt/orvan/nicfw_backup/sub/x.bin"),
         w0 + "backup: not a file name in /var/opt/orvan/nicfw_backup/"},
        {set("/adapters/0/writes/0/backup", "/tmp/x.bin"),
         w0 + "backup: not a file name in /var/opt/orvan/nicfw_backup/"},
        {set("/adapters/0/writes/0/size", -1), w0 + "size: not a whole number of bytes"},
        {set("/adapters/0/writes/0/size", nullptr), w0 + "size: not a whole number of bytes"},
        {set("/adapters/0/writes/0/sha256", std::string(64, 'A')),
         w0 + "sha256: not 64 lowercase hexadecimal digits"},
        {set("/adapters/0/writes/0/sha256", std::string(62, 'a')),
         w0 + "sha256: not 64 lowercase hexadecimal digits"},
        {set("/adapters/0/writes/0/sha256", nullptr), w0 + "sha256: not 64 lowercase hexadecimal digits"},
        {set("/adapters/0/writes/0/from", nullptr), w0 + "from: not a version M.m.b"},
        {set("/adapters/0/writes/0/forced", "true"), w0 + "forced: not true or false"},
        {set("/adapters/0/writes/0/forced", false), w0 + "forced: differs from the plan's forced"},
        {[](Json& d) { std::swap(d["adapters"][0]["writes"][0], d["adapters"][0]["writes"][1]); },
         "adapters[0].writes[1].kind: boot_code after pxe: writes stand in the order boot_code, pxe, clp, "
         "once each"},
        {[](Json& d) { d["adapters"][0]["writes"][1] = d["adapters"][0]["writes"][0]; },
         "adapters[0].writes[1].kind: boot_code after boot_code: writes stand in the order boot_code, pxe, "
         "clp, "
         "once each"},
        {set("/adapters/1/mac", "02A0B0C0D000"), "adapters[1].mac: also that of adapters[0], which has "
                                                 "writes too: the flashing tool could not tell them "
                                                 "apart"},
        {set("/writes", 5), "writes: is 5 but the adapters list 3"},
        {set("/forced", "no"), "forced: not true or false"},
        {erase("/warnings"), "warnings: missing"},
        {set("/warnings/0", 5), "warnings[0]: not a text"},
        {set("/warnings/0", "bell\a"), "warnings[0]: holds a control character"},
        {set("/warnings_hex", Json::array({nullptr})), "warnings_hex: not an array as long as warnings"},
        {set("/warnings_hex/1", "ff"), "warnings[1]: does not match its bytes in warnings_hex[1]"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE("case " + std::to_string(i) + ": " + cases[i].Reason);
        Json document = SampleJson();
        cases[i].Change(document);
        EXPECT_EQ(ReasonFor(Sealed(document)), cases[i].Reason);
    }
}

TEST(PlanDocumentTest, TheFirstDifferenceIsNamedWithItsAdapterFieldAndBothValues)
{
    const std::string a0 = "adapter 0 (MAC '02A0B0C0D000')";
    const std::string a1 = "adapter 1 (MAC '02A0B0C0D001')";
    std::string sha;
    for (int i = 0; i < 32; ++i)
        sha += "a5";
    const struct {
        std::function<void(Plan&)> Change;
        PlanDifference Expected;
    } cases[] = {
        {[](Plan& p) { p.Force = false; }, {"", "run", "tidemark -s -F", "tidemark -s"}},
        {[](Plan& p) {
             p.Library = {3, 1, 0};
         },
         {"", "library", "3.0.2", "3.1.0"}},
        {[](Plan& p) { p.Adapters[1].Mac = "02A0B0C0D00F"; },
         {a1, "mac", "'02A0B0C0D001'", "'02A0B0C0D00F'"}},
        {[](Plan& p) { p.Adapters[0].PciId = "5A17-2001-5A17-0101"; },
         {a0, "pci_id", "5A17-2001-5A17-0100", "5A17-2001-5A17-0101"}},
        {[](Plan& p) { p.Adapters[0].Name = "Adapter \xfe"; },
         {a0, "name", "'Adapter \xEF\xBF\xBD' (bytes 4164617074657220ff)",
          "'Adapter \xEF\xBF\xBD' (bytes 4164617074657220fe)"}},
        {[](Plan& p) { p.Adapters[1].Interface = "eth7"; }, {a1, "interface", "'eth1'", "'eth7'"}},
        {[](Plan& p) { p.Adapters[0].Pxe.reset(); }, {a0, "installed.pxe", "8.3.5", "none"}},
        {[](Plan& p) {
             p.Adapters[1].Iscsi = FirmwareVersion{2, 2, 2};
         },
         {a1, "installed.iscsi", "2.2.1", "2.2.2"}},
        {[](Plan& p) { p.Adapters[1].Writes[0].Kind = ImageKind::Pxe; },
         {a1, "writes[0].kind", "clp", "pxe"}},
        {[](Plan& p) { p.Adapters[0].Writes[0].Image += "x"; },
         {a0, "writes[0].image", "'/opt/orvan/nic_fw/nx2/bootcode/bc.bin'",
          "'/opt/orvan/nic_fw/nx2/bootcode/bc.binx'"}},
        {[](Plan& p) { p.Adapters[0].Writes[0].Identity.Size = 2049; },
         {a0, "writes[0].size", "2048", "2049"}},
        {[](Plan& p) { p.Adapters[0].Writes[0].Identity.Sha256[31] = 0xA6; },
         {a0, "writes[0].sha256", sha, sha.substr(0, 62) + "a6"}},
        {[](Plan& p) { p.Adapters[0].Writes[1].Identity = Identity(10, 0x5A); },
         {a0, "writes[1].size", "512", "10"}},
        {[](Plan& p) { p.Adapters[0].Writes[1].Identity = ImageIdentity{}; },
         {a0, "writes[1].size", "512", "unknown"}},
        {[](Plan& p) {
             p.Adapters[0].Writes[0].From = {1, 9, 7};
         },
         {a0, "writes[0].from", "1.9.6", "1.9.7"}},
        {[](Plan& p) {
             p.Adapters[0].Writes[1].To = FirmwareVersion{8, 4, 0};
         },
         {a0, "writes[1].to", "none", "8.4.0"}},
        {[](Plan& p) { p.Adapters[1].Writes[0].Backup.back() = 'x'; },
         {a1, "writes[0].backup", "'/var/opt/orvan/nicfw_backup/02A0B0C0D001.bc2.0.1.p2.2.1.bin'",
          "'/var/opt/orvan/nicfw_backup/02A0B0C0D001.bc2.0.1.p2.2.1.bix'"}},
        {[](Plan& p) { p.Adapters[1].Writes[0].Forced = false; }, {a1, "writes[0].forced", "true", "false"}},
        {[](Plan& p) { p.Adapters[1].Writes.clear(); }, {a1, "writes", "1", "0"}},
        {[](Plan& p) { p.Adapters[1].Writes.push_back(p.Adapters[1].Writes[0]); }, {a1, "writes", "1", "2"}},
        {[](Plan& p) { p.Adapters.pop_back(); }, {"", "adapters", "2", "1"}},
        {[](Plan& p) { p.Adapters.push_back(p.Adapters[1]), p.Adapters[2].Index = 2; },
         {"", "adapters", "2", "3"}},
        // The first adapter gone: the second now stands first.
        {[](Plan& p) { p.Adapters.erase(p.Adapters.begin()), p.Adapters[0].Index = 0; },
         {a0, "mac", "'02A0B0C0D000'", "'02A0B0C0D001'"}},
    };
    const Plan saved = SamplePlan();
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE("case " + std::to_string(i) + ": " + cases[i].Expected.Field);
        Plan current = SamplePlan();
        cases[i].Change(current);
        const std::optional<PlanDifference> found = FirstDifference(saved, current);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->Adapter, cases[i].Expected.Adapter);
        EXPECT_EQ(found->Field, cases[i].Expected.Field);
        EXPECT_EQ(found->Saved, cases[i].Expected.Saved);
        EXPECT_EQ(found->Current, cases[i].Expected.Current);
    }
    EXPECT_EQ(DescribeDifference({a1, "interface", "'eth1'", "'eth7'"}),
              "adapter 1 (MAC '02A0B0C0D001'): interface is 'eth1' in the plan and 'eth7' now");

    // What the comparison leaves out makes no difference.
    Plan current = SamplePlan();
    current.Warnings.clear();
    current.Catalogs[2] = CatalogState::Present;
    EXPECT_FALSE(FirstDifference(saved, current));
}

// Saved files: only regular files of bounded size are read.
TEST(PlanDocumentTest, PlanFilesAreReadOnlyWhenTheyAreRegularFilesOfBoundedSize)
{
    const std::string dir = test::MakeTempDir("plans");
    ASSERT_FALSE(dir.empty());
    std::string reason;
    ASSERT_TRUE(WritePlanFile(dir + "/plan.json", PlanDocument(SamplePlan()), reason)) << reason;
    test::WriteText(dir + "/large.json", std::string(PlanDocumentMaximum + 1, ' '));
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    const struct {
        std::string Path;
        bool Read;
        std::string Reason;
    } cases[] = {
        {dir + "/plan.json", true, ""},
        {dir + "/missing.json", false, "cannot open the plan: No such file or directory"},
        {dir, false, "the plan is not a regular file"},
        {dir + "/fifo", false, "the plan is not a regular file"},
        {dir + "/large.json", false, "the plan is larger than 8388608 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        Plan plan;
        reason.clear();
        EXPECT_EQ(ReadPlanFile(c.Path, plan, reason), c.Read);
        EXPECT_EQ(reason, c.Reason);
        EXPECT_EQ(plan.Adapters.size(), c.Read ? 2u : 0u);
    }
    struct stat info {};
    ASSERT_EQ(stat((dir + "/plan.json").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    fs::remove_all(dir);
}

// As tidemark-apply will do it: take a plan, save it, read it back, take
// the plan again and compare, on the demo fleet and catalog.
class TakenPlan : public ::testing::Test {
protected:
    void SetUp() override
    {
        fleet_ = test::MakeTempDir("fleet");
        ASSERT_FALSE(fleet_.empty());
        ASSERT_TRUE(sim::WriteDemoFleet(fleet_));
        setenv("BMAPI_SIM_DIR", fleet_.c_str(), 1);
        fs::remove_all("/opt/orvan");
        ASSERT_TRUE(sim::WriteDemoCatalog("/opt/orvan/nic_fw/nx2"));
    }
    void TearDown() override
    {
        test::ReleaseRunState();
        unsetenv("BMAPI_SIM_DIR");
        fs::remove_all(fleet_);
        fs::remove_all("/opt/orvan");
    }

    Plan Take(bool force)
    {
        test::ReleaseRunState();
        Plan plan;
        std::string reason;
        EXPECT_TRUE(TakePlan(force, plan, reason)) << reason;
        return plan;
    }

    std::string fleet_;
};

TEST_F(TakenPlan, ASavedPlanEqualsThePlanTakenAgainUntilAnImageChanges)
{
    for (bool force : {false, true}) {
        SCOPED_TRACE(force ? "-s -F" : "-s");
        const Plan taken = Take(force);
        ASSERT_EQ(taken.WriteCount(), force ? 4u : 3u);
        Plan saved;
        std::string reason;
        ASSERT_TRUE(ReadPlanDocument(PlanDocument(taken), saved, reason)) << reason;
        EXPECT_EQ(saved.Force, force);
        EXPECT_FALSE(FirstDifference(saved, Take(saved.Force)));
    }
    Plan saved;
    std::string reason;
    ASSERT_TRUE(ReadPlanDocument(PlanDocument(Take(false)), saved, reason)) << reason;
    std::vector<uint8_t> image;
    const std::string path = "/opt/orvan/nic_fw/nx2/clp/gs220_clp_312.rom";
    ASSERT_TRUE(sim::ReadFile(path, image));
    image.back() ^= 0xFF;
    ASSERT_TRUE(sim::WriteFile(path, image));
    const std::optional<PlanDifference> difference = FirstDifference(saved, Take(false));
    ASSERT_TRUE(difference);
    EXPECT_EQ(difference->Adapter, "adapter 1 (MAC '02A45B1C3E02')");
    EXPECT_EQ(difference->Field, "writes[0].sha256");
}

} // namespace
