// Reading the entries of an image catalog: "PCI-id file-name version" per
// entry, separated by white space.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

#include "state/records.h"

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

// An open catalog file read in large blocks: a search reads every entry up
// to the adapter's, so the reader looks at each character once, in memory,
// and never holds more than one block.
inline constexpr size_t CatalogBlockSize = size_t{64} * 1024;

struct CatalogReader {
    FILE* File;
    std::unique_ptr<char[]> Block;
    size_t Pos;
    size_t End;
};

// A reader at the start of file, which the caller keeps open.
CatalogReader MakeCatalogReader(FILE* file);

enum class TokenResult { Read, Cut, End };

// Reads the next run of non-blank characters, at most max of them. With
// keepRest the rest of a longer run is left to be read as the next token;
// otherwise it is consumed and the result is Cut.
TokenResult ReadToken(CatalogReader& reader, char* out, size_t max, bool keepRest);

// False at the end of the catalog, also when the last entry is incomplete:
// a partial entry is never used.
bool ReadEntry(CatalogReader& reader, CatalogEntry& entry);
