#include "catalog/entry_version.h"

#include <cstdint>
#include <string_view>

#include "catalog/catalog_reader.h"
#include "catalog/image_file.h"
#include "state/records.h"

namespace {

// Catalog version numbers are capped so that "%d" always shows them as read.
constexpr uint32_t VersionNumberMax = 0x7FFFFFFF;

uint32_t DigitValue(char c) { return c >= '0' && c <= '9' ? static_cast<uint32_t>(c - '0') : 0; }

bool ParseBootCodeVersion(std::string_view token, ImageSelection& selection)
{
    if (token.size() != 6 || token.find('.') != 2)
        return false;
    selection.BootCodeMajor = DigitValue(token[1]);
    selection.BootCodeMinor = DigitValue(token[3]);
    selection.BootCodeBuild = DigitValue(token[5]);
    selection.SelectionFlags |= SelBootCodeVersion;
    return true;
}

uint32_t LeadingNumber(std::string_view part)
{
    uint32_t value = 0;
    for (char c : part) {
        if (c < '0' || c > '9')
            break;
        const uint32_t digit = DigitValue(c);
        value = value > (VersionNumberMax - digit) / 10 ? VersionNumberMax : value * 10 + digit;
    }
    return value;
}

// A token that does not give all three parts is no version, and its entry
// is not offered.
bool ParseClpVersion(std::string_view token, ImageSelection& selection)
{
    const size_t firstDot = token.find('.');
    if (firstDot == std::string_view::npos || firstDot == 0)
        return false;

    std::string_view parts[3];
    size_t count = 0;
    size_t pos = 0;
    while (count < 3) {
        pos = token.find_first_not_of('.', pos);
        if (pos == std::string_view::npos)
            break;
        const size_t end = token.find('.', pos);
        parts[count++] = token.substr(pos, end == std::string_view::npos ? end : end - pos);
        pos = end;
    }
    if (count < 3)
        return false;

    selection.ClpMajor = DigitValue(token[firstDot - 1]);
    selection.ClpMinor = LeadingNumber(parts[1]);
    selection.ClpBuild = LeadingNumber(parts[2]);
    selection.SelectionFlags |= SelClpVersion;
    return true;
}

} // namespace

bool BootCodeVersionFromToken(const CatalogEntry& entry, const char*, ImageSelection& selection)
{
    return !entry.VersionTooLong && ParseBootCodeVersion(entry.Version, selection);
}

// An unreadable file records nothing, so what was accepted before for this
// adapter stands.
bool VersionsFromImageFile(const CatalogEntry&, const char* imagePath, ImageSelection& selection)
{
    return ReadImageVersions(selection, imagePath) == 0;
}

bool ClpVersionFromToken(const CatalogEntry& entry, const char*, ImageSelection& selection)
{
    return !entry.VersionTooLong && ParseClpVersion(entry.Version, selection);
}
