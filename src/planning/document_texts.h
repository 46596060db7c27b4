// What the plan document's writer and reader share: the JSON types, the two
// forms of a text (readable and faithful) and the digest's canonical form.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// The writer keeps its keys in the order it gives them; the canonical form
// sorts them.
using OrderedJson = nlohmann::ordered_json;
using SortedJson = nlohmann::json;

bool IsValidUtf8(std::string_view bytes);
// The text with each byte that does not begin a valid UTF-8 sequence
// replaced by U+FFFD.
std::string ReadableText(std::string_view bytes);
// Two lowercase hexadecimal digits per byte.
std::string HexText(std::string_view bytes);
// False when hex is not an even number of lowercase hexadecimal digits.
bool BytesFromHex(std::string_view hex, std::string& bytes);

// Parses one JSON value of at most PlanDocumentMaximum bytes, refusing
// objects with a key given twice and nesting deeper than any plan's. False
// with a one-line reason.
bool ParseJsonDocument(std::string_view text, SortedJson& value, std::string& reason);

// SHA-256 (lowercase hexadecimal) of the content's canonical form: compact,
// keys sorted, everything outside printable ASCII escaped.
std::string CanonicalDigest(const SortedJson& content);
