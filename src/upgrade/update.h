// The update runs: write what the selection pass accepted, with a backup.
#pragma once

#include <array>

#include "adapters/records.h"

inline constexpr char BackupDir[] = "/var/opt/orvan/nicfw_backup/";

// Each works on the adapter at the current index and returns 0 or the exit
// code of the command that failed.
int UpdateBootCode();
int UpdatePXE();
int UpdateCLP();

// The backup file name the update run of this kind gives the flashing tool.
void FormBackupName(ImageKind kind, const InstalledFirmware& installed, const ImageSelection& selection,
                    std::array<char, PathFieldSize>& name);
