#pragma once
// UTF-8 text: lower-casing for case-insensitive matching, and encoding.

#include <string>
#include <string_view>

namespace core {

/// `text` with every letter in lower case by the Unicode simple case mapping
/// (Latin, Greek, Cyrillic and the rest), so "ÉCHEC" gives "échec". Bytes that
/// are not valid UTF-8 are kept as they are; ASCII is always handled.
std::string lowerCaseUtf8(std::string_view text);

/// Appends the UTF-8 encoding of the code point `c` to `out`.
void appendUtf8(std::string &out, char32_t c);

} // namespace core
