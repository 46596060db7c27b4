#include "catalog/catalog_reader.h"

#include <array>
#include <cstring>

namespace {

// White space as the C locale's isspace sees it.
constexpr std::array<bool, 256> BlankTable = [] {
    std::array<bool, 256> table{};
    for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'})
        table[c] = true;
    return table;
}();

bool IsBlank(char c) { return BlankTable[static_cast<unsigned char>(c)]; }

// False at the end of the file (or a read error, which ends it the same way).
bool Refill(CatalogReader& reader)
{
    reader.Pos = 0;
    reader.End = std::fread(reader.Block.get(), 1, CatalogBlockSize, reader.File);
    return reader.End > 0;
}

// False when the file ends before a non-blank character.
bool SkipBlanks(CatalogReader& reader)
{
    for (;;) {
        while (reader.Pos < reader.End && IsBlank(reader.Block[reader.Pos]))
            ++reader.Pos;
        if (reader.Pos < reader.End)
            return true;
        if (!Refill(reader))
            return false;
    }
}

// Length of the run of non-blank characters from the reader's position to
// the next blank or the end of the block.
size_t RunLength(const CatalogReader& reader)
{
    size_t end = reader.Pos;
    while (end < reader.End && !IsBlank(reader.Block[end]))
        ++end;
    return end - reader.Pos;
}

// Consumes non-blank characters up to the next blank or the end of the file.
void SkipRun(CatalogReader& reader)
{
    do {
        reader.Pos += RunLength(reader);
    } while (reader.Pos == reader.End && Refill(reader));
}

} // namespace

CatalogReader MakeCatalogReader(FILE* file)
{
    return CatalogReader{file, std::make_unique_for_overwrite<char[]>(CatalogBlockSize), 0, 0};
}

TokenResult ReadToken(CatalogReader& reader, char* out, size_t max, bool keepRest)
{
    if (!SkipBlanks(reader))
        return TokenResult::End;

    // A token may run on over block ends: copy it piece by piece.
    size_t n = 0;
    for (;;) {
        const size_t run = RunLength(reader);
        const size_t take = run < max - n ? run : max - n;
        std::memcpy(out + n, &reader.Block[reader.Pos], take);
        n += take;
        reader.Pos += take;
        if (take < run) {
            // Longer than max: the rest is the next token, or is dropped.
            out[n] = '\0';
            if (keepRest)
                return TokenResult::Read;
            SkipRun(reader);
            return TokenResult::Cut;
        }
        if (reader.Pos < reader.End || !Refill(reader))
            break; // a blank or the end of the file ends the token
    }
    out[n] = '\0';
    return TokenResult::Read;
}

bool ReadEntry(CatalogReader& reader, CatalogEntry& entry)
{
    if (ReadToken(reader, entry.PciId, PciIdTokenMax, true) == TokenResult::End)
        return false;
    const TokenResult name = ReadToken(reader, entry.FileName, FileNameTokenMax, false);
    if (name == TokenResult::End)
        return false;
    const TokenResult version = ReadToken(reader, entry.Version, VersionTokenMax, false);
    if (version == TokenResult::End)
        return false;
    entry.FileNameTooLong = name == TokenResult::Cut;
    entry.VersionTooLong = version == TokenResult::Cut;
    return true;
}
