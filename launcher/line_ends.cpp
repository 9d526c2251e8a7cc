#include "line_ends.h"

namespace launcher {

void LineEndTranslator::translate(std::string_view piece, std::string& out) {
    for (const char c : piece) {
        if (c == '\n' && !after_carriage_return_) {
            out += '\r';
        }
        out += c;
        after_carriage_return_ = c == '\r';
    }
}

}  // namespace launcher
