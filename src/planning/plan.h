// The plan: what a silent upgrade run would write on this server, found with
// the run's own inventory, selection, backup naming and tool form, and
// without writing, logging or running anything. tidemark-plan reports it;
// tidemark-apply takes it again to check a saved plan before writing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "state/records.h"

// One image the update pass would hand to the flashing tool.
struct PlannedWrite {
    ImageKind Kind = ImageKind::BootCode;
    std::string Image;                 // the path the tool gets
    ImageIdentity Identity{};          // as the selection offered it (a write is planned only when Known)
    FirmwareVersion From{};            // the installed image it replaces
    std::optional<FirmwareVersion> To; // none: the image carries no readable version
    std::string Backup;                // the backup file name the tool gets
    bool Forced = false;               // the tool gets -F
};

struct AdapterPlan {
    uint32_t Index = 0;
    std::string Mac, PciId, Name, Interface; // texts as the library gave them
    std::optional<FirmwareVersion> BootCode, Pxe, Clp, Iscsi;
    std::vector<PlannedWrite> Writes; // in the order the update pass writes them
};

// What the selection found at a catalog file's path.
enum class CatalogState { Present, Missing, Unreadable, NotRegular };

struct Plan {
    bool Force = false; // planned for -s -F rather than -s
    FirmwareVersion Library{};
    std::array<CatalogState, 3> Catalogs{}; // per ImageKind
    std::vector<AdapterPlan> Adapters;
    std::vector<std::string> Warnings;
    bool Forced = false; // the tool would get -F
    size_t WriteCount() const;
};

// Exit statuses of tidemark-plan.
inline constexpr int PlanNothingToWrite = 0;
inline constexpr int PlanCouldNotPlan = 1;
inline constexpr int PlanSomethingToWrite = 2;

// Takes the inventory and runs the selection pass with the answers of -s
// (force: -s -F), then closes the adapter library. False with a one-line
// reason when no plan could be made: the library's version or start, no
// supported adapter, or no catalog file present at all. keepLibraryOpen:
// a plan taken leaves the library open, with the inventory and selection in
// gRun, for the update pass to write it.
bool TakePlan(bool force, Plan& plan, std::string& reason, bool keepLibraryOpen = false);

// The adapter at index in gRun as the plan describes it, without writes.
AdapterPlan DescribeInstalledAdapter(uint32_t index);

// The state of the catalog file at path, as the selection would find it.
CatalogState CatalogStateOf(const char* path);

// Names of an image kind: in the text table and as a JSON value.
const char* KindLabel(ImageKind kind);
const char* KindKey(ImageKind kind);
// A catalog state as a JSON value ("present", "missing", "unreadable",
// "not-regular") and in words ("is missing", ...).
const char* CatalogStateKey(CatalogState state);
const char* CatalogStateWords(CatalogState state);
std::string VersionText(const FirmwareVersion& version);
