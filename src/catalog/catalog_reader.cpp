#include "catalog/catalog_reader.h"

#include <cstdio>

namespace {

// White space as the C locale's isspace sees it.
constexpr bool IsBlank(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

TokenResult ReadToken(FILE* file, char* out, size_t max, bool keepRest)
{
    int c = std::getc(file);
    while (c != EOF && IsBlank(c))
        c = std::getc(file);
    if (c == EOF)
        return TokenResult::End;

    size_t n = 0;
    while (c != EOF && !IsBlank(c)) {
        if (n == max) {
            if (keepRest) {
                std::ungetc(c, file);
                break;
            }
            while (c != EOF && !IsBlank(c))
                c = std::getc(file);
            out[n] = '\0';
            return TokenResult::Cut;
        }
        out[n++] = static_cast<char>(c);
        c = std::getc(file);
    }
    out[n] = '\0';
    return TokenResult::Read;
}

bool ReadEntry(FILE* file, CatalogEntry& entry)
{
    if (ReadToken(file, entry.PciId, PciIdTokenMax, true) == TokenResult::End)
        return false;
    const TokenResult name = ReadToken(file, entry.FileName, FileNameTokenMax, false);
    if (name == TokenResult::End)
        return false;
    const TokenResult version = ReadToken(file, entry.Version, VersionTokenMax, false);
    if (version == TokenResult::End)
        return false;
    entry.FileNameTooLong = name == TokenResult::Cut;
    entry.VersionTooLong = version == TokenResult::Cut;
    return true;
}
