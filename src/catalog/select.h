// Catalog lookup and image selection for the adapter at the current index.
#pragma once

#include "catalog/image_kinds.h"

// Looks the adapter up in the kind's catalog and offers each matching image
// until one is accepted. The outcome is in the adapter's ImageSelection and
// in FlagUserQuit.
void SelectImage(ImageKind kind);

// Each returns 0.
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
