// Conversion between UTF-8, which the platform-neutral code works in, and
// UTF-16, which Windows takes and gives at its wide interfaces. Pure
// functions, so that they can be tested on every platform.
#pragma once

#include <string>
#include <string_view>

namespace launcher {

// UTF-16 to UTF-8 (Unicode 15, 3.9). A surrogate without its partner, which
// a Windows command line may carry, is written as the three-byte sequence of
// its code point (the generalised form known as WTF-8), so that
// utf8_to_utf16 gives the same code unit back and nothing is lost on the way
// through.
std::string utf16_to_utf8(std::u16string_view text);

// UTF-8 to UTF-16. The three-byte sequence of a lone surrogate gives that
// surrogate back (see above); every byte that starts no well-formed sequence
// (a stray continuation byte, an overlong form, a code point beyond
// U+10FFFF, a truncated sequence) becomes U+FFFD, one per byte.
std::u16string utf8_to_utf16(std::string_view text);

}  // namespace launcher
