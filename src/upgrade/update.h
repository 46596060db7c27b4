// The update runs: write what the selection pass accepted, with a backup.
#pragma once

#include <array>
#include <cstdint>

#include "state/records.h"

inline constexpr char BackupDir[] = "/var/opt/orvan/nicfw_backup/";

// The backup file that the flashing tool is given for writing an image of
// the kind: it names the firmware the write replaces, the boot code on the
// adapter (or the one accepted in the same pass) and its companion image.
void FormBackupName(ImageKind kind, const InstalledFirmware& installed, const ImageSelection& selection,
                    std::array<char, PathFieldSize>& name);

// Whether the kind's image file is still the one the selection recorded when
// it offered it: same size and SHA-256, and readable then and now.
enum class ImageCheck { AsConfirmed, Changed, Unreadable };
ImageCheck CheckConfirmedImage(ImageKind kind, const ImageSelection& selection);

// Writes the kind's image of the adapter at the current index when it was
// accepted and is still the image confirmed, under a backup name that no
// earlier write of the run used and no file has. Returns 0, the exit code of
// the command that failed, or WriteRefused.
inline constexpr int WriteRefused = 3;
int UpdateImage(ImageKind kind);

// What UpdateImage did with an adapter's image of a kind, for a caller that
// reports write by write.
enum class WriteResult {
    NotRun,  // not accepted, refused before the tool, or never reached
    Failed,  // the tool or the driver reload failed
    Written, // the tool returned 0 and the driver came back
};
WriteResult WriteResultOf(uint32_t adapter, ImageKind kind);

int UpdateBootCode();
int UpdatePXE();
int UpdateCLP();
