#include "planning/document_texts.h"

#include <openssl/evp.h>

#include <array>
#include <set>
#include <vector>

#include "planning/plan_document.h"

namespace {

// Plans nest five deep; later minor formats get some room.
constexpr size_t MaxDepth = 16;

// A first pass over the text that builds nothing: it finds where the text
// stops being JSON, a key given twice (which readers resolve differently),
// and nesting that would make the tree's recursive walks run out of stack.
class StructureCheck final : public nlohmann::json_sax<SortedJson> {
public:
    explicit StructureCheck(size_t size) : size_(size) {}
    std::string Problem;

    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return Enter(); }
    bool end_object() override { return Leave(); }
    bool start_array(std::size_t) override { return Enter(); }
    bool end_array() override { return Leave(); }
    bool key(string_t& key) override
    {
        if (keys_.back().insert(key).second)
            return true;
        Problem = "the plan gives a key twice in one object";
        return false;
    }
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception&) override
    {
        // The position counts the bytes read, the one that failed included,
        // and the end of the text as one more.
        Problem = position > size_
                      ? "the plan is not JSON: it ends early (cut short?)"
                      : "the plan is not JSON: it goes wrong at byte " + std::to_string(position);
        return false;
    }

private:
    bool Enter()
    {
        if (keys_.size() >= MaxDepth) {
            Problem = "the plan nests deeper than " + std::to_string(MaxDepth) + " levels";
            return false;
        }
        keys_.emplace_back(); // an array's stays empty: only its level counts
        return true;
    }
    bool Leave()
    {
        keys_.pop_back();
        return true;
    }
    size_t size_;
    std::vector<std::set<std::string>> keys_;
};

constexpr char HexDigits[] = "0123456789abcdef";

unsigned char ByteAt(std::string_view text, size_t at) { return static_cast<unsigned char>(text[at]); }

// The well-formed UTF-8 sequences by their first byte (RFC 3629): no
// overlong forms, no surrogates, nothing above U+10FFFF.
struct LeadByte {
    unsigned char From, To; // the first byte's range
    size_t Length;
    unsigned char Low, High; // the second byte's range; later ones are 80..BF
};
constexpr LeadByte LeadBytes[] = {
    {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
    {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
};

// The length of the valid UTF-8 sequence that starts at text[at], 0 when
// none does.
size_t SequenceLength(std::string_view text, size_t at)
{
    const unsigned char lead = ByteAt(text, at);
    if (lead < 0x80)
        return 1;
    for (const LeadByte& l : LeadBytes) {
        if (lead < l.From || lead > l.To)
            continue;
        if (text.size() - at < l.Length || ByteAt(text, at + 1) < l.Low || ByteAt(text, at + 1) > l.High)
            return 0;
        for (size_t i = 2; i < l.Length; ++i)
            if ((ByteAt(text, at + i) & 0xC0) != 0x80)
                return 0;
        return l.Length;
    }
    return 0;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

bool IsValidUtf8(std::string_view bytes)
{
    for (size_t at = 0; at < bytes.size();) {
        const size_t length = SequenceLength(bytes, at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

std::string ReadableText(std::string_view bytes)
{
    std::string text;
    text.reserve(bytes.size());
    for (size_t at = 0; at < bytes.size();) {
        const size_t length = SequenceLength(bytes, at);
        if (length == 0) {
            text += "\xEF\xBF\xBD";
            ++at;
        } else {
            text.append(bytes.substr(at, length));
            at += length;
        }
    }
    return text;
}

std::string HexText(std::string_view bytes)
{
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex += HexDigits[byte >> 4];
        hex += HexDigits[byte & 0xF];
    }
    return hex;
}

bool BytesFromHex(std::string_view hex, std::string& bytes)
{
    if (hex.size() % 2 != 0)
        return false;
    bytes.clear();
    bytes.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexValue(hex[i]), low = HexValue(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes += static_cast<char>(high * 16 + low);
    }
    return true;
}

bool ParseJsonDocument(std::string_view text, SortedJson& value, std::string& reason)
{
    if (text.size() > PlanDocumentMaximum) {
        reason = "the plan is larger than " + std::to_string(PlanDocumentMaximum) + " bytes";
        return false;
    }
    StructureCheck check(text.size());
    if (!SortedJson::sax_parse(text, &check, nlohmann::json::input_format_t::json, true, false)) {
        reason = check.Problem.empty() ? "the plan is not JSON" : check.Problem;
        return false;
    }
    value = SortedJson::parse(text, nullptr, false);
    if (value.is_discarded()) {
        reason = "the plan is not JSON";
        return false;
    }
    return true;
}

std::string CanonicalDigest(const SortedJson& content)
{
    // The same bytes as Python's json.dumps(content, sort_keys=True,
    // separators=(",", ":"), ensure_ascii=True), so that anyone can check it.
    const std::string canonical = content.dump(-1, ' ', true);
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(canonical.data(), canonical.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1)
        return "";
    return HexText(std::string_view(reinterpret_cast<const char*>(digest.data()), length));
}
