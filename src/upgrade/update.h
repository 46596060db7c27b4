// The update runs: write what the selection pass accepted, with a backup.
#pragma once

inline constexpr char BackupDir[] = "/var/opt/orvan/nicfw_backup/";

// Each works on the adapter at the current index and returns 0 or the exit
// code of the command that failed.
int UpdateBootCode();
int UpdatePXE();
int UpdateCLP();
