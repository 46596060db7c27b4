// Texts and helpers shared by the upgrade run's system tests: the expected
// console and log lines of the standard adapters (SystemTest::MakeAdapter)
// and the trace lines of the recording stand-ins.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "harness.h"

namespace systest::upgrade {

inline const std::string Notice = "\nThe Firmware Upgrade will take several minutes.  Please be patient.\n";
inline const std::string Complete = "\nNIC firmware update complete.\n";
inline const std::string WithErrors = "\nNIC firmware update completed with errors. \n";
inline const std::string Cancelled = "\nFirmware upgrade cancelled by User \n";
inline const std::string InputProblem = "Unknown input problem!\nQuit...\n";
inline const std::string BackupDir = "/var/opt/orvan/nicfw_backup/";
inline const std::string BootCodeDir = "/opt/orvan/nic_fw/nx2/bootcode/";
inline const std::string PxeDir = "/opt/orvan/nic_fw/nx2/pxe/";
inline const std::string ClpDir = "/opt/orvan/nic_fw/nx2/clp/";
// The answers file as the recording tool reports it, its unique part masked.
inline const std::string Answers = "answers /tmp/fileXXXXXX q";

inline const std::string BootCodeSame =
    "*** WARNING *** - Installed Boot Code is the same version as selected Boot Code.\n";
inline const std::string BootCodeOlder =
    "*** WARNING *** - Installed Boot Code is more recent than selected Boot Code.\n";
inline const std::string PxeSame = "*** WARNING *** - Installed PXE is the same version as selected PXE.\n";
inline const std::string PxeOlder = "*** WARNING *** - Installed PXE is more recent than selected PXE.\n";
inline const std::string ClpSame = "*** WARNING *** - Installed CLP is the same version as selected CLP.\n";
inline const std::string ClpOlder = "*** WARNING *** - Installed CLP is more recent than selected CLP.\n";

inline std::string Mac(int index)
{
    char text[16];
    std::snprintf(text, sizeof text, "02A0B0C0D0%02X", index);
    return text;
}

inline std::string Name(int index) { return "Orvan NX2 Gigabit Adapter " + std::to_string(index); }

inline std::string PciId(int index)
{
    char text[32];
    std::snprintf(text, sizeof text, "5A17-%04X-5A17-%04X", 0x2001 + index, 0x0100 + index);
    return text;
}

inline std::string Heading(int index) { return "\nFound " + Name(index) + " MAC: " + Mac(index) + " \n"; }
inline std::string Selecting(int index)
{
    return "\nSelecting " + Name(index) + " MAC: " + Mac(index) + " \n";
}
inline std::string Upgrading(const std::string& description) { return "Upgrading " + description + "\n"; }

// The question line as the prompt shows it, without a line end.
inline std::string Prompt(const std::string& description, const std::string& defaultLabel)
{
    return "Update " + description + " -  y/n/q (" + defaultLabel + "):";
}

inline std::string ToolFailedLog(int index, const std::string& hexCode)
{
    return "ERROR: Upgrade of " + Name(index) + " MAC: " + Mac(index) + " failed with internal error " +
           hexCode + "\n";
}
inline std::string ToolFailedConsole(int index)
{
    return "ERROR: Upgrade of " + Name(index) + " MAC: " + Mac(index) + " failed.\n";
}

// A write refused because its image is not the one confirmed.
inline std::string ImageChanged(const std::string& image)
{
    return "ERROR: Image " + image + " changed since it was confirmed; it was not written\n";
}
// The log's note of a backup name taken by an earlier write or file.
inline std::string BackupTaken(const std::string& formed, const std::string& chosen)
{
    return "Backup " + BackupDir + formed + " is taken; the backup goes to " + BackupDir + chosen + "\n";
}

// "wrenflash MAC upgrade [-F] -bc|-mba IMAGE BACKUP" as the recorder joins it.
inline std::string Flash(const std::string& mac, const std::string& kind, bool forced,
                         const std::string& image, const std::string& backup)
{
    return "wrenflash " + mac + " upgrade " + (forced ? "-F " : "") + kind + " " + image + " " + backup;
}
inline std::string FlashBootCode(int index, const std::string& image, const std::string& backupTail,
                                 bool forced = false)
{
    return Flash(Mac(index), "-bc", forced, BootCodeDir + image, BackupDir + Mac(index) + backupTail);
}
inline std::string FlashRom(int index, const std::string& dir, const std::string& image,
                            const std::string& backupTail, bool forced = false)
{
    return Flash(Mac(index), "-mba", forced, dir + image, BackupDir + Mac(index) + backupTail);
}

// What a successful tool run leaves in the trace after its own line:
// the answers file, then the driver reload.
inline std::vector<std::string> AfterGoodFlash(const std::string& interface)
{
    return {Answers, "rmmod bnx2", "modprobe bnx2", "sleep 10", "ifconfig " + interface + " up"};
}

// Joins trace pieces into one expected trace.
inline std::vector<std::string> Lines(std::initializer_list<std::vector<std::string>> pieces)
{
    std::vector<std::string> all;
    for (const auto& piece : pieces)
        all.insert(all.end(), piece.begin(), piece.end());
    return all;
}

// The interfaces raised at the end of a run, each followed by its pause.
inline std::vector<std::string> BringUp(std::initializer_list<std::string> interfaces)
{
    std::vector<std::string> lines;
    for (const auto& name : interfaces) {
        lines.push_back("ifconfig " + name + " up");
        lines.push_back("sleep 1");
    }
    return lines;
}

// The log's copy of a console text: the console-only notice left out.
inline std::string WithoutNotice(std::string text)
{
    const size_t at = text.find(Notice);
    if (at != std::string::npos)
        text.erase(at, Notice.size());
    return text;
}

class UpgradeFixture : public SystemTest {
protected:
    void TearDown() override
    {
        ToolTrace(); // removes the answers files the recording tool saw
        SystemTest::TearDown();
    }

    // The trace with the answers files' unique names masked. The answers
    // files the program leaves in /tmp are removed.
    std::vector<std::string> ToolTrace()
    {
        const std::string tag = "answers ";
        const std::string file = "/tmp/file";
        const size_t unique = 6; // the XXXXXX of the mkstemp template
        std::vector<std::string> lines = Trace();
        for (std::string& line : lines) {
            if (line.compare(0, tag.size() + file.size(), tag + file) != 0 ||
                line.size() < tag.size() + file.size() + unique)
                continue;
            std::error_code ec;
            std::filesystem::remove(line.substr(tag.size(), file.size() + unique), ec);
            line.replace(tag.size() + file.size(), unique, "XXXXXX");
        }
        return lines;
    }

    void BootCodeCatalog(const std::string& text)
    {
        WriteCatalogFile("bootcode", text);
        WriteStandInImages("bootcode", text);
    }
    void PxeCatalog(const std::string& text) { WriteCatalogFile("pxe", text); }
    void ClpCatalog(const std::string& text)
    {
        WriteCatalogFile("clp", text);
        WriteStandInImages("clp", text);
    }

    // The run opens boot code and CLP images only to identify and write
    // them: every token of the catalog text that names no file in the kind's
    // folder yet gets a stand-in image, so that what the run offers is there
    // to write. (PXE images are read for their version: tests write them.)
    void WriteStandInImages(const std::string& kind, const std::string& text)
    {
        constexpr size_t NameMax = 255;
        size_t at = 0;
        while ((at = text.find_first_not_of(" \t\n\r\v\f", at)) != std::string::npos) {
            const size_t end = std::min(text.find_first_of(" \t\n\r\v\f", at), text.size());
            const std::string token = text.substr(at, end - at);
            at = end;
            const std::string path = CatalogDir + "/" + kind + "/" + token;
            if (token.size() > NameMax || token.find('/') != std::string::npos || token == "." ||
                token == ".." || std::filesystem::exists(path))
                continue;
            const std::string content = "stand-in image " + token + "\n";
            WriteCatalogImage(kind, token, std::vector<uint8_t>(content.begin(), content.end()));
        }
    }

    // A PXE catalog entry for the adapter and its option ROM file.
    void OfferPxe(int index, const std::string& file, uint8_t major, uint8_t minor, uint8_t build)
    {
        WriteCatalogImage("pxe", file, sim::BuildOptionRomFile(sim::OptionRom::Pxe, major, minor, build));
        PxeCatalog(PciId(index) + " " + file + " -\n");
    }
};

} // namespace systest::upgrade
