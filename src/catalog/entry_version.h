// The version of a matching catalog entry, one reader per image kind: from
// the entry's version token (boot code, CLP) or from the image file (PXE).
#pragma once

struct CatalogEntry;
struct ImageSelection;

// "vM.m.b": six characters with the first '.' at index 2.
bool BootCodeVersionFromToken(const CatalogEntry& entry, const char* imagePath, ImageSelection& selection);
// What ReadImageVersions finds in the file; false when it cannot be read.
bool VersionsFromImageFile(const CatalogEntry& entry, const char* imagePath, ImageSelection& selection);
// The major is the one character before the first '.'; minor and build are
// the second and third '.'-separated parts.
bool ClpVersionFromToken(const CatalogEntry& entry, const char* imagePath, ImageSelection& selection);
