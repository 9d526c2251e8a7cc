// Line ends of the server's output, and of the launcher's own lines, as the
// Windows console and files expect them. The output is read raw, so that no
// byte of it (a Ctrl-Z, a NUL) ends or changes it; the one change is made
// here: a line feed alone becomes carriage return and line feed, as the C
// runtime's text mode would write it.
#pragma once

#include <string>
#include <string_view>

namespace launcher {

// Translates a byte stream that arrives in pieces. Every line feed that does
// not follow a carriage return is written as carriage return and line feed;
// one that follows a carriage return, also across the boundary between two
// pieces, and every other byte, including a carriage return alone, is kept as
// it is. So a CR LF in the input never becomes CR CR LF.
class LineEndTranslator {
public:
    // Appends the translation of `piece`, the next piece of the stream, to
    // `out`.
    void translate(std::string_view piece, std::string& out);

private:
    bool after_carriage_return_ = false;  // the last byte so far was a CR
};

}  // namespace launcher
