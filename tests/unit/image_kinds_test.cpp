// The kind descriptors as the planning code and the update pass rely on
// them, the backup name of every kind, and the tool's forced form.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "state/records.h"
#include "catalog/image_kinds.h"
#include "state/run_state.h"
#include "upgrade/flash_tool.h"
#include "upgrade/update.h"

namespace {

constexpr std::array<ImageKind, 3> Kinds = {ImageKind::BootCode, ImageKind::Pxe, ImageKind::Clp};

TEST(ImageKinds, EachDescriptorIsItsKindsRowWithBitsOfItsOwn)
{
    uint32_t accepted = 0, versions = 0;
    for (ImageKind kind : Kinds) {
        const ImageKindDescriptor& d = DescriptorOf(kind);
        SCOPED_TRACE(d.ToolSwitch);
        EXPECT_EQ(d.Kind, kind);
        EXPECT_EQ(std::strncmp(d.CatalogFile, d.CatalogDir, std::strlen(d.CatalogDir)), 0);
        EXPECT_EQ(d.CatalogDir[std::strlen(d.CatalogDir) - 1], '/');
        EXPECT_EQ(accepted & d.AcceptedBit, 0u);
        EXPECT_EQ(versions & d.VersionBit, 0u);
        EXPECT_EQ(d.AcceptedBit & d.VersionBit, 0u);
        accepted |= d.AcceptedBit;
        versions |= d.VersionBit;
    }
    EXPECT_EQ(accepted, SelBootCodeAccepted | SelPxeAccepted | SelClpAccepted);
    EXPECT_EQ(versions, SelBootCodeVersion | SelPxeVersion | SelClpVersion);
}

// The update pass announces an adapter once: only the first kind it writes
// may announce, and the catalog search relies on the same kind.
TEST(ImageKinds, OnlyTheFirstKindWrittenAnnouncesTheAdapter)
{
    EXPECT_EQ(UpdateOrder, Kinds);
    for (size_t i = 0; i < UpdateOrder.size(); ++i)
        EXPECT_EQ(DescriptorOf(UpdateOrder[i]).AnnouncesAdapter, i == 0);
}

TEST(ImageKinds, IsAcceptedAndImagePathOfReadTheKindsOwnFields)
{
    ImageSelection selection{};
    std::strcpy(selection.BootCodePath, "bc");
    std::strcpy(selection.PxePath, "pxe");
    std::strcpy(selection.ClpPath, "clp");
    const std::array<const char*, 3> paths = {"bc", "pxe", "clp"};
    const std::array<uint32_t, 3> bits = {SelBootCodeAccepted, SelPxeAccepted, SelClpAccepted};
    for (size_t i = 0; i < Kinds.size(); ++i) {
        EXPECT_STREQ(ImagePathOf(selection, Kinds[i]), paths[i]);
        selection.SelectionFlags = ~bits[i];
        EXPECT_FALSE(IsAccepted(selection, Kinds[i]));
        selection.SelectionFlags = bits[i];
        for (size_t j = 0; j < Kinds.size(); ++j)
            EXPECT_EQ(IsAccepted(selection, Kinds[j]), i == j);
    }
}

struct BackupCase {
    ImageKind Kind;
    uint32_t SelectionFlags;
    const char* Tail; // after the padded MAC
};

// Installed: boot code 1.9.6, PXE 8.3.5, CLP 3.1.0, IPMI never filled; the
// selection's boot code 2.0.7 counts only when accepted, and only beside
// PXE and CLP, and never its build.
TEST(BackupName, EveryKindNamesTheFirmwareItReplaces)
{
    const BackupCase cases[] = {
        {ImageKind::BootCode, 0, ".bc1.9.6.bin"},
        {ImageKind::BootCode, SelBootCodeAccepted | SelBootCodeVersion, ".bc1.9.6.bin"},
        {ImageKind::BootCode, SelPxeVersion | SelIpmiVersion | SelClpVersion, ".bc1.9.6.p8.3.5.bin"},
        {ImageKind::BootCode, SelIpmiVersion | SelClpVersion, ".bc1.9.6.i0.0.bin"},
        {ImageKind::BootCode, SelClpVersion, ".bc1.9.6.p3.1.0.bin"},
        {ImageKind::Pxe, SelPxeAccepted, ".bc1.9.6.p8.3.5.bin"},
        {ImageKind::Pxe, SelPxeAccepted | SelBootCodeAccepted, ".bc2.0.6.p8.3.5.bin"},
        {ImageKind::Pxe, SelPxeAccepted | SelBootCodeVersion | SelClpVersion, ".bc1.9.6.p8.3.5.bin"},
        {ImageKind::Clp, SelClpAccepted, ".bc1.9.6.p3.1.0.bin"},
        {ImageKind::Clp, SelClpAccepted | SelBootCodeAccepted | SelPxeVersion, ".bc2.0.6.p3.1.0.bin"},
    };
    InstalledFirmware installed{};
    std::strcpy(installed.MacText, "0011AABB");
    installed.BootCodeMajor = 1, installed.BootCodeMinor = 9, installed.BootCodeBuild = 6;
    installed.PxeMajor = 8, installed.PxeMinor = 3, installed.PxeBuild = 5;
    installed.ClpMajor = 3, installed.ClpMinor = 1, installed.ClpBuild = 0;
    for (const BackupCase& c : cases) {
        ImageSelection selection{};
        selection.SelectionFlags = c.SelectionFlags;
        selection.BootCodeMajor = 2, selection.BootCodeMinor = 0, selection.BootCodeBuild = 7;
        std::array<char, PathFieldSize> name{};
        FormBackupName(c.Kind, installed, selection, name);
        EXPECT_EQ(std::string(name.data()), std::string(BackupDir) + "0011AABB    " + c.Tail)
            << DescriptorOf(c.Kind).ToolSwitch << " flags " << c.SelectionFlags;
    }
}

TEST(FlashTool, ForcedByEitherForceBit)
{
    const struct {
        uint32_t Flags;
        bool Forced;
    } cases[] = {
        {0, false},
        {FlagSilent | FlagAssumeDefault | FlagUpdated, false},
        {FlagForce, true},
        {FlagForceTool, true},
        {FlagForce | FlagForceTool, true},
    };
    for (const auto& c : cases) {
        gRun.OptionFlags = c.Flags;
        EXPECT_EQ(FlashToolForced(), c.Forced) << std::hex << c.Flags;
    }
    gRun.OptionFlags = 0;
}

} // namespace
