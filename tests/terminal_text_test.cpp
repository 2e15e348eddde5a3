#include "common/terminal_text.h"

#include <gtest/gtest.h>

namespace {
TEST(TerminalText, EscapesWhatIsNotUtf8AndControlsOnlyForTheTerminal) {
    struct escape_case {
        std::string input;
        std::string for_json;
        const char *for_terminal;
    };
    const escape_case cases[] = {
        {"plain/path.txt", "plain/path.txt", "plain/path.txt"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5",
         "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5"},
        {"a\x1b[2Jb", "a\x1b[2Jb", "a\\x1b[2Jb"},
        {std::string("nul\0tab\tdel\x7f", 12), std::string("nul\0tab\tdel\x7f", 12),
         "nul\\x00tab\\x09del\\x7f"},
        {"c1 \xc2\x9b", "c1 \xc2\x9b", "c1 \\xc2\\x9b"},
        {"latin1 \xe9t\xe9", "latin1 \\xe9t\\xe9", "latin1 \\xe9t\\xe9"},
        {"overlong \xc0\xaf", "overlong \\xc0\\xaf", "overlong \\xc0\\xaf"},
        {"surrogate \xed\xa0\x80", "surrogate \\xed\\xa0\\x80", "surrogate \\xed\\xa0\\x80"},
        {"past U+10FFFF \xf4\x90\x80\x80", "past U+10FFFF \\xf4\\x90\\x80\\x80",
         "past U+10FFFF \\xf4\\x90\\x80\\x80"},
        {"five-byte lead \xf8\x90\x80\x80", "five-byte lead \\xf8\\x90\\x80\\x80",
         "five-byte lead \\xf8\\x90\\x80\\x80"},
        {"cut \xe2\x82", "cut \\xe2\\x82", "cut \\xe2\\x82"},
    };
    for (const escape_case &each : cases) {
        SCOPED_TRACE(each.for_terminal);
        EXPECT_EQ(utf8_escaped(each.input), each.for_json);
        EXPECT_EQ(terminal_escaped(each.input), each.for_terminal);
    }
}
} // namespace
