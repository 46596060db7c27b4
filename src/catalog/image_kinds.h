// What the three image kinds share: the order the update pass writes them and
// the accepted test.
#pragma once

#include <array>

#include "adapters/records.h"

// The order in which the update pass writes an adapter's images.
inline constexpr std::array<ImageKind, 3> UpdateOrder = {ImageKind::BootCode, ImageKind::Pxe, ImageKind::Clp};

// True when the selection pass accepted an image of this kind.
inline bool IsAccepted(const ImageSelection& selection, ImageKind kind)
{
    switch (kind) {
    case ImageKind::BootCode: return (selection.SelectionFlags & SelBootCodeAccepted) != 0;
    case ImageKind::Pxe: return (selection.SelectionFlags & SelPxeAccepted) != 0;
    case ImageKind::Clp: return (selection.SelectionFlags & SelClpAccepted) != 0;
    }
    return false;
}
