// Backup file names that no earlier write of the run, and no file already
// there, has: the flashing tool overwrites whatever the name points at.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "state/records.h"

// The highest numbered variant tried before a write is given up.
inline constexpr int MaxBackupVariant = 999;

// The backup names handed to the flashing tool so far, in run order.
using BackupNames = std::vector<std::string>;

enum class BackupChoice {
    Formed,   // the formed name is free
    Variant,  // the formed name is taken; the first free variant was chosen
    NoneFree, // neither is free: the image must not be written
};

// Makes the formed name (ending in ".bin") one that neither lies in handed
// nor exists in any form, also as a dangling link: the formed name itself,
// else the first free of NAME-1.bin ... NAME-999.bin (NAME: the formed name
// without ".bin"). A name whose status cannot be read counts as taken, but
// for a folder this user may not search. The chosen name is added to
// handed; on NoneFree name and handed stay as they were.
BackupChoice ChooseBackupName(std::array<char, PathFieldSize>& name, BackupNames& handed);
