#include "quote.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "random_words.h"

namespace {

using launcher::quote_for_posix_shell;

TEST(PosixShellQuoting, OrdinaryWordsStayAsTheyAre) {
    for (const char* word : {"+port=700", "-Xmx2048m", "+name=Alpha", "a+b", "+path=/srv/x.y",
                             "+ratio=50%", "+who=me@host", "+list=a,b:c", "+x_y-z"}) {
        EXPECT_EQ(quote_for_posix_shell(word), word);
    }
}

TEST(PosixShellQuoting, AnythingElseIsSingleQuoted) {
    EXPECT_EQ(quote_for_posix_shell(""), "''");
    EXPECT_EQ(quote_for_posix_shell("+a=b c"), "'+a=b c'");
    EXPECT_EQ(quote_for_posix_shell("+a=$(id)"), "'+a=$(id)'");
    EXPECT_EQ(quote_for_posix_shell("+a='"), "'+a='\\'''");
    EXPECT_EQ(quote_for_posix_shell("~+"), "'~+'");
}

// Runs the quoted words through the real shell and returns what it made of
// them: printf's "%s\0" form keeps every word apart whatever it holds.
std::vector<std::string> split_by_shell(const std::vector<std::string>& words) {
    std::string script = "printf '%s\\0'";
    for (const std::string& word : words) {
        script += ' ' + quote_for_posix_shell(word);
    }
    std::string quoted_script = quote_for_posix_shell(script);
    FILE* shell = popen(("/bin/sh -c " + quoted_script).c_str(), "r");
    std::string output;
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, shell)) > 0) {
        output.append(buffer, n);
    }
    pclose(shell);
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t end; (end = output.find('\0', start)) != std::string::npos; start = end + 1) {
        result.push_back(output.substr(start, end - start));
    }
    return result;
}

TEST(PosixShellQuoting, TheShellGivesBackEveryWordUnchanged) {
    std::vector<std::string> words = {
        "+a=b c",       "+q='\"'",      "+semi=;id",  "+amp=&",   "+pipe=|",
        "+sub=$(id)",   "+back=`id`",   "+glob=*",    "+nl=a\nb", "+tab=\t",
        "+utf=Grüße ✓", "+bs=\\",       "+var=$HOME", "+tilde=~", "~",
        "+hash=#x",     "+brace={a,b}", "+bang=!x",   "+lt=<x>",
    };
    test::RandomWords random("ab +=-'\"\\$`;&|*?[]{}()<>~#!%^ \t\n\x7f\xc3\xa9", 15, 20261207);
    for (int i = 0; i < 200; ++i) {
        words.push_back("+");
        words.back() += random.next();
    }
    EXPECT_EQ(split_by_shell(words), words);
}

}  // namespace
