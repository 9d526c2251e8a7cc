// What the end-to-end tests share: starting the built launcher in a scratch
// server folder with the stand-in runtime first on PATH, and reading back
// what the stand-in received.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"
#include "processes.h"

namespace test {

inline const std::string startup_line = "Set environment variable to 517093\n";

// Options that run the launcher with `arguments` in `folder`; the stand-in
// runtime performs `actions` (see the stand-in's own description).
// The launcher runs under the program LAUNCHER_TEST_WRAPPER names, when it
// is set (words split at blanks: "valgrind --quiet ...").
inline Options launcher_options(const ScratchDirectory& folder,
                                const std::vector<std::string>& arguments,
                                const std::string& actions = "") {
    Options options;
    if (const char* wrapper = std::getenv("LAUNCHER_TEST_WRAPPER")) {
        std::string words = wrapper;
        for (std::size_t start = 0; start < words.size();) {
            const std::size_t end = std::min(words.find(' ', start), words.size());
            if (end > start) {
                options.argv.push_back(words.substr(start, end - start));
            }
            start = end + 1;
        }
    }
    options.argv.push_back(LAUNCHER_BINARY);
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.directory = folder.path();
    const char* path = std::getenv("PATH");
    options.environment["PATH"] = std::string(FAKE_JAVA_DIR) + ":" +
                                  (path ? path : "/usr/bin:/bin");
    options.environment["FAKE_JAVA"] = actions;
    options.environment["FAKE_JAVA_RECORD"] = folder.file("record");
    options.unset.push_back("SteamAppId");
    options.input = "";
    return options;
}

// What the stand-in runtime recorded.
struct Received {
    long pid = 0;
    std::string cwd;
    std::string app_id;
    std::vector<std::string> arguments;  // without argv[0]
};

inline Received received(const ScratchDirectory& folder) {
    Received result;
    const auto text = read_file(folder.file("record"));
    if (!text) {
        return result;
    }
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t end; (end = text->find('\0', start)) != std::string::npos; start = end + 1) {
        fields.push_back(text->substr(start, end - start));
    }
    if (fields.size() < 5) {
        return result;
    }
    result.pid = std::stol(fields[0].substr(4));
    result.cwd = fields[1].substr(4);
    result.app_id = fields[2].substr(11);
    result.arguments.assign(fields.begin() + 5, fields.end());
    return result;
}

// The stand-in's report in its "signals" mode when it got `signal` once,
// from the launcher or (from_launcher 0) from elsewhere.
inline std::string signal_report(int signal, int from_launcher = 1) {
    return "sig" + std::to_string(signal) + "=1 from launcher=" + std::to_string(from_launcher) +
           " others=" + std::to_string(1 - from_launcher) + "\n";
}

inline std::string hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string result;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        result += digits[byte >> 4];
        result += digits[byte & 15];
    }
    return result;
}

}  // namespace test
