// The plan document: the plan as one JSON object, with its format version,
// the size and SHA-256 of every image, the bytes of every text that is not
// UTF-8 beside its readable form, the catalogs' states and a digest over the
// content; and the reader of a saved document.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "planning/plan.h"

// A minor step only adds keys; a major step may change or drop them.
inline constexpr char PlanFormatVersion[] = "1.0";
inline constexpr unsigned long PlanFormatMajor = 1;
// A saved document larger than this is refused unread; tidemark-plan writes
// no larger one.
inline constexpr size_t PlanDocumentMaximum = size_t{8} * 1024 * 1024;

// The document, indented, ending in a line end. Empty only when the digest
// could not be computed.
std::string PlanDocument(const Plan& plan);

// The digest a document's content calls for: SHA-256, as 64 lowercase
// hexadecimal digits, of the object without its "digest" key written in the
// canonical form (no white space, keys sorted by their bytes, every
// character below U+0020 or from U+007F on escaped as \uXXXX with lowercase
// digits, except \b \t \n \f \r, and \" and \\). Empty when the text is not
// one JSON object that the reader would parse (at most PlanDocumentMaximum
// bytes, no key twice in an object, no deep nesting).
std::string PlanContentDigest(std::string_view text);

// Reads a saved document into plan, as TakePlan would have filled it. False,
// with a one-line reason that names the key, when the text is not such a
// document: not JSON, another major format, a digest that does not match, a
// key missing or of the wrong type, a text with a control character, an
// image outside its kind's catalog folder, a backup outside the backup
// folder, writes out of the update pass's order or twice, two adapters with
// writes and one MAC, counts that do not add up. A later minor format's keys
// are ignored.
bool ReadPlanDocument(std::string_view text, Plan& plan, std::string& reason);
