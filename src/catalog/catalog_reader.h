// Reading the entries of an image catalog: "PCI-id file-name version" per
// entry, separated by white space.
#pragma once

#include <cstddef>
#include <cstdio>

#include "adapters/records.h"

// Token limits of a catalog entry, terminating zero not counted.
inline constexpr size_t PciIdTokenMax = 20;
inline constexpr size_t FileNameTokenMax = PathFieldSize - 1;
inline constexpr size_t VersionTokenMax = 31;

struct CatalogEntry {
    char PciId[PciIdTokenMax + 1];
    char FileName[FileNameTokenMax + 1];
    char Version[VersionTokenMax + 1];
    bool FileNameTooLong;
    bool VersionTooLong;
};

enum class TokenResult { Read, Cut, End };

// Reads the next run of non-blank characters, at most max of them. With
// keepRest the rest of a longer run stays in the stream as the next token;
// otherwise it is consumed and the result is Cut.
TokenResult ReadToken(FILE* file, char* out, size_t max, bool keepRest);

// False at the end of the catalog, also when the last entry is incomplete:
// a partial entry is never used.
bool ReadEntry(FILE* file, CatalogEntry& entry);
