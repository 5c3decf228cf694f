#pragma once
// Case-insensitive text matching for UTF-8 strings.

#include <string>
#include <string_view>

namespace core {

/// `text` with every letter in lower case by the Unicode simple case mapping
/// (Latin, Greek, Cyrillic and the rest), so "ÉCHEC" gives "échec". Bytes that
/// are not valid UTF-8 are kept as they are; ASCII is always handled.
std::string lowerCaseUtf8(std::string_view text);

} // namespace core
