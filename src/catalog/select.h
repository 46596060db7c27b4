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
