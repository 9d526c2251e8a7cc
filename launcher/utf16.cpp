#include "utf16.h"

namespace launcher {

namespace {

constexpr char32_t replacement_character = 0xFFFD;

bool is_high_surrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool is_low_surrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

void append_utf8(std::string& out, char32_t code_point) {
    const auto byte = [](char32_t value) { return static_cast<char>(value); };
    if (code_point < 0x80) {
        out += byte(code_point);
    } else if (code_point < 0x800) {
        out += byte(0xC0 | (code_point >> 6));
        out += byte(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        out += byte(0xE0 | (code_point >> 12));
        out += byte(0x80 | ((code_point >> 6) & 0x3F));
        out += byte(0x80 | (code_point & 0x3F));
    } else {
        out += byte(0xF0 | (code_point >> 18));
        out += byte(0x80 | ((code_point >> 12) & 0x3F));
        out += byte(0x80 | ((code_point >> 6) & 0x3F));
        out += byte(0x80 | (code_point & 0x3F));
    }
}

void append_utf16(std::u16string& out, char32_t code_point) {
    if (code_point < 0x10000) {
        out += static_cast<char16_t>(code_point);
        return;
    }
    const char32_t offset = code_point - 0x10000;
    out += static_cast<char16_t>(0xD800 + (offset >> 10));
    out += static_cast<char16_t>(0xDC00 + (offset & 0x3FF));
}

// The code point of the sequence at the start of `text` and its length in
// bytes; {U+FFFD, 1} when no well-formed sequence starts there. The
// three-byte forms of surrogates are accepted (see utf8_to_utf16).
struct Decoded {
    char32_t code_point;
    std::size_t length;
};

Decoded decode_utf8(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80) {
        return {lead, 1};
    }
    std::size_t length = 0;
    char32_t code_point = 0;
    char32_t smallest = 0;  // below it the form is overlong
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        code_point = lead & 0x1Fu;
        smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        code_point = lead & 0x0Fu;
        smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        code_point = lead & 0x07u;
        smallest = 0x10000;
    } else {
        return {replacement_character, 1};
    }
    if (text.size() < length) {
        return {replacement_character, 1};
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) {
            return {replacement_character, 1};
        }
        code_point = (code_point << 6) | (next & 0x3Fu);
    }
    if (code_point < smallest || code_point > 0x10FFFF) {
        return {replacement_character, 1};
    }
    return {code_point, length};
}

}  // namespace

std::string utf16_to_utf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t unit = text[i];
        if (is_high_surrogate(unit) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
            append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00u));
            ++i;
        } else {
            append_utf8(out, unit);  // a lone surrogate as its own code point
        }
    }
    return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const Decoded decoded = decode_utf8(text);
        append_utf16(out, decoded.code_point);
        text.remove_prefix(decoded.length);
    }
    return out;
}

}  // namespace launcher
