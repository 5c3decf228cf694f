#include "core/lower_case.h"

#include <cstdint>
#include <cwctype>
#include <locale.h>
#include <wctype.h>

namespace core {

namespace {

// A locale object of our own: the process locale is whatever the desktop set
// (Qt adopts it), and "C" or "POSIX" would leave everything beyond ASCII alone.
// C.UTF-8 carries the full Unicode case tables and ships with the C library.
locale_t unicodeLocale() {
    static const locale_t locale = [] {
        for (const char *name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
            if (locale_t made = ::newlocale(LC_CTYPE_MASK, name, locale_t(nullptr))) {
                return made;
            }
        }
        return locale_t(nullptr);
    }();
    return locale;
}

char32_t lowerCodePoint(char32_t c) {
    if (c < 0x80) {
        return (c >= U'A' && c <= U'Z') ? c + (U'a' - U'A') : c;
    }
    const locale_t locale = unicodeLocale();
    if (!locale) {
        return c;
    }
    return static_cast<char32_t>(::towlower_l(static_cast<wint_t>(c), locale));
}

/// Decodes one well-formed UTF-8 sequence at `text[i]`; 0 length when malformed.
std::size_t decode(std::string_view text, std::size_t i, char32_t &out) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        out = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    out = value;
    return length;
}

} // namespace

void appendUtf8(std::string &out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string lowerCaseUtf8(std::string_view text) {
    // Most titles are plain ASCII: one tight pass, no decoding.
    std::string lowered(text);
    char *const bytes = lowered.data();
    const std::size_t size = lowered.size();
    std::size_t i = 0;
    for (; i < size && static_cast<unsigned char>(bytes[i]) < 0x80; ++i) {
        if (bytes[i] >= 'A' && bytes[i] <= 'Z') {
            bytes[i] = static_cast<char>(bytes[i] - 'A' + 'a');
        }
    }
    if (i == size) {
        return lowered;
    }
    // The ASCII prefix is done; the rest is decoded.
    lowered.resize(i);
    while (i < text.size()) {
        char32_t c = 0;
        const std::size_t length = decode(text, i, c);
        if (length == 0) {
            lowered += text[i++];
            continue;
        }
        appendUtf8(lowered, lowerCodePoint(c));
        i += length;
    }
    return lowered;
}

} // namespace core
