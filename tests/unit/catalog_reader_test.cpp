// The catalog reader against the token rules, written out plainly below: blanks
// as C isspace, the PCI-ID cut after 20 characters with the rest as the next
// token, file name and version tokens cut (and flagged) beyond their limits,
// an incomplete last entry never returned. The reader works in blocks, so
// every shape is also read with a token placed across each block end.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "catalog/catalog_reader.h"

namespace {

struct Entry {
    std::string PciId, FileName, Version;
    bool FileNameTooLong = false, VersionTooLong = false;

    bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Entry& e)
{
    return out << '[' << e.PciId << "|" << e.FileName.substr(0, 40) << "(" << e.FileName.size() << ")|"
               << e.Version << (e.FileNameTooLong ? "|name cut" : "")
               << (e.VersionTooLong ? "|version cut" : "") << ']';
}

// The rules themselves, on a whole string.
std::vector<Entry> Expected(const std::string& text)
{
    std::deque<std::string> tokens;
    std::string token;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!token.empty())
                tokens.push_back(token);
            token.clear();
        } else {
            token += c;
        }
    }
    if (!token.empty())
        tokens.push_back(token);

    std::vector<Entry> entries;
    while (!tokens.empty()) {
        Entry e;
        e.PciId = tokens.front().substr(0, PciIdTokenMax);
        if (tokens.front().size() > PciIdTokenMax)
            tokens.front().erase(0, PciIdTokenMax);
        else
            tokens.pop_front();
        if (tokens.size() < 2)
            break;
        e.FileNameTooLong = tokens[0].size() > FileNameTokenMax;
        e.FileName = tokens[0].substr(0, FileNameTokenMax);
        e.VersionTooLong = tokens[1].size() > VersionTokenMax;
        e.Version = tokens[1].substr(0, VersionTokenMax);
        tokens.erase(tokens.begin(), tokens.begin() + 2);
        entries.push_back(e);
    }
    return entries;
}

std::vector<Entry> Read(std::string text)
{
    FILE* file = fmemopen(text.data(), text.size(), "r");
    if (file == nullptr) // an empty buffer is refused: an empty file reads the same
        file = std::tmpfile();
    CatalogReader reader = MakeCatalogReader(file);
    auto raw = std::make_unique<CatalogEntry>();
    std::vector<Entry> entries;
    while (ReadEntry(reader, *raw))
        entries.push_back(
            {raw->PciId, raw->FileName, raw->Version, raw->FileNameTooLong, raw->VersionTooLong});
    std::fclose(file);
    return entries;
}

struct Shape {
    const char* Name;
    std::string Text;
};

const std::string Id = "1A2B-3C4D-5E6F-7A8B";

std::vector<Shape> Shapes()
{
    return {
        {"one entry per line", Id + " a.bin v1.2.3\n" + Id + " b.bin v1.2.4\n"},
        {"every kind of blank", Id + "\t\v a.bin\r\n\f v1.2.3"},
        {"PCI-ID of 21 and more characters", Id + "XY a.bin v1.2.3 " + Id + " b.bin v2.0.0\n"},
        {"PCI-ID of exactly 20", Id + "X a.bin v1.2.3\n"},
        {"PCI-ID twice the limit", std::string(45, 'P') + " a.bin v1.2.3 x\n"},
        {"file name at and over its limit", Id + " " + std::string(FileNameTokenMax, 'n') + " v1 " + Id +
                                                " " + std::string(FileNameTokenMax + 7, 'm') + " v2\n"},
        {"version at and over its limit",
         Id + " a " + std::string(VersionTokenMax, '1') + " " + Id + " b " + std::string(40, '2') + "\n"},
        {"incomplete last entry", Id + " a.bin v1.2.3\n" + Id + " b.bin"},
        {"only blanks", " \n\t "},
        {"no final line end", Id + " a.bin v1.2.3"},
    };
}

TEST(CatalogReader, ReadsEveryShapeByTheTokenRules)
{
    for (const Shape& shape : Shapes())
        EXPECT_EQ(Read(shape.Text), Expected(shape.Text)) << shape.Name;
}

// Each shape placed so that its tokens and blanks fall on a block end, at
// every offset around it.
TEST(CatalogReader, TokensAcrossBlockEndsReadAsAnywhereElse)
{
    for (const Shape& shape : Shapes()) {
        for (size_t lead = CatalogBlockSize - shape.Text.size() - 2; lead <= CatalogBlockSize + 1; ++lead) {
            const std::string text = std::string(lead, ' ') + shape.Text;
            const std::vector<Entry> got = Read(text);
            ASSERT_EQ(got, Expected(text)) << shape.Name << ", " << lead << " blanks before";
        }
    }
}

TEST(CatalogReader, CutsTheKnownExamples)
{
    const std::vector<Entry> entries = Read(Id + "XY a.bin v1.2.3\n" + Id + " b.bin " + std::string(40, '9'));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0], (Entry{Id + "X", "Y", "a.bin"}));
    EXPECT_EQ(entries[1], (Entry{"v1.2.3", Id, "b.bin"}));
    EXPECT_TRUE(Read(Id + " " + std::string(FileNameTokenMax + 1, 'n') + " v1")[0].FileNameTooLong);
}

// Catalogs of several blocks with tokens of every length class, blanks of
// every kind and some runs of blanks.
TEST(CatalogReader, LongMixedCatalogsReadAsTheRulesSay)
{
    const std::string blanks = " \t\n\v\f\r";
    for (unsigned seed = 1; seed <= 4; ++seed) {
        std::mt19937 random(seed);
        std::string text;
        while (text.size() < 3 * CatalogBlockSize) {
            const unsigned pick = random() % 100;
            const size_t length = pick < 80   ? 1 + random() % 24
                                  : pick < 95 ? 25 + random() % 40
                                              : 4000 + random() % 200;
            text += std::string(length, static_cast<char>('!' + random() % 90));
            text += std::string(1 + random() % 3, blanks[random() % blanks.size()]);
        }
        EXPECT_EQ(Read(text), Expected(text)) << "seed " << seed;
    }
}

} // namespace
