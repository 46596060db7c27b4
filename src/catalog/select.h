// Catalog lookup and image selection for the adapter at the current index.
#pragma once

#include "adapters/records.h"

inline constexpr char BootCodeCatalogDir[] = "/opt/orvan/nic_fw/nx2/bootcode/";
inline constexpr char BootCodeCatalogFile[] = "/opt/orvan/nic_fw/nx2/bootcode/bootcode.info";
inline constexpr char PxeCatalogDir[] = "/opt/orvan/nic_fw/nx2/pxe/";
inline constexpr char PxeCatalogFile[] = "/opt/orvan/nic_fw/nx2/pxe/pxe.info";
inline constexpr char ClpCatalogDir[] = "/opt/orvan/nic_fw/nx2/clp/";
inline constexpr char ClpCatalogFile[] = "/opt/orvan/nic_fw/nx2/clp/clp.info";

// Each returns 0; the outcome is in the adapter's ImageSelection and in
// FlagUserQuit.
int SelectBootCode();
int SelectPXE();
int SelectCLP();

// Catalog entries that a search passes over without asking, and that a run
// under -s mentions at most in its log. tidemark leaves the hook empty;
// tidemark-plan sets it to report them. The entry is the current adapter's.
enum class PassedOver {
    ImageUnreadable, // detail: the image path (the entry is skipped)
    VersionUnusable, // detail: the version token (boot code: the search ends)
    PathTooLong,     // detail: the file name token (the entry is skipped)
};
using PassedOverHook = void (*)(ImageKind kind, PassedOver why, const char* detail);
extern PassedOverHook gSelectionPassedOver;
