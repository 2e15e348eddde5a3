#include "reader/bencode_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {
struct refusal_case {
    const char *label;
    std::string input;
    const char *reason; // the start of the reason
    std::size_t offset;
    const char *limit_option = nullptr;
};

std::string nested_lists(std::size_t depth) {
    return std::string(depth, 'l') + std::string(depth, 'e');
}

// A string claiming `claimed` bytes, in a document of 100 bytes.
std::string short_claim(const std::string &claimed) {
    std::string input = claimed + ":";
    input.resize(100, 'x');
    return input;
}

TEST(BencodeReader, RefusesMalformedInputWithReasonAndOffset) {
    const refusal_case cases[] = {
        {"empty", "", "empty input", 0},
        {"leading zero", "i01e", "integer with a leading zero", 1},
        {"leading zero deep", "li1ei007ee", "integer with a leading zero", 5},
        {"negative zero", "i-0e", "negative zero", 0},
        {"no digits", "ie", "integer without digits", 1},
        {"sign alone", "i-e", "integer without digits", 2},
        {"integer cut short", "i12", "truncated integer", 3},
        {"integer junk", "i1xe", "integer not ended by 'e'", 2},
        {"integer over 2^63-1", "i9223372036854775808e", "integer out of range", 1},
        {"integer below -2^63", "i-9223372036854775809e", "integer out of range", 2},
        {"length past the end", "5:abc", "string of 5 bytes runs past the end", 0},
        {"length 2^64", "18446744073709551616:x", "string length out of range", 0},
        {"4 GB claimed in 100 bytes", short_claim("4294967296"),
         "string of 4294967296 bytes runs past the end", 0},
        {"length leading zero", "03:abc", "string length with a leading zero", 0},
        {"length without colon", "3abc", "string length not followed by ':'", 1},
        {"length cut short", "12", "truncated string length", 2},
        {"list not closed", "li1e", "truncated: a list is not closed", 4},
        {"dictionary not closed", "d1:a1:b", "truncated: a dictionary is not closed", 7},
        {"key without value", "d1:ae", "dictionary key without a value", 4},
        {"integer key", "di1ei2ee", "dictionary key that is not a string", 1},
        {"list key", "dle1:ae", "dictionary key that is not a string", 1},
        {"trailing bytes", "i1ei2e", "trailing bytes after the document", 3},
        {"stray end", "e", "end marker outside a list or dictionary", 0},
        {"unknown byte", "l*e", "unexpected byte 0x2a", 1},
        {"depth limit", nested_lists(1001), "nesting deeper than the depth limit of 1000", 1000,
         "--max-depth"},
        {"a million nested lists", nested_lists(1'000'000),
         "nesting deeper than the depth limit of 1000", 1000, "--max-depth"},
    };
    for (const refusal_case &each : cases) {
        SCOPED_TRACE(each.label);
        const bencode_outcome outcome = read_bencode(each.input);
        ASSERT_FALSE(outcome.document);
        EXPECT_EQ(outcome.error.reason.rfind(each.reason, 0), 0u) << outcome.error.reason;
        EXPECT_EQ(outcome.error.offset, each.offset);
        EXPECT_STREQ(outcome.error.limit_option ? outcome.error.limit_option : "",
                     each.limit_option ? each.limit_option : "");
    }
}

TEST(BencodeReader, NestingAsDeepAsAllowedNeedsNoCallStack) {
    const std::string input = nested_lists(1'000'000);
    const bencode_outcome outcome = read_bencode(input, {.max_depth = 1'000'000});
    ASSERT_TRUE(outcome.document);
    EXPECT_EQ(outcome.document->values.size(), 1'000'000u);
    EXPECT_EQ(end_of(*outcome.document, 0), 1'000'000u);
}

TEST(BencodeReader, ValuesKeepTheirExactBytesAndFileOrder) {
    const std::string input = "d3:agei-9223372036854775808e4:listl4:spami0ee3:mapde4:name5:valu"
                              "ee";
    const bencode_outcome outcome = read_bencode(input);
    ASSERT_TRUE(outcome.document) << outcome.error.reason;
    const bencode_document &document = *outcome.document;
    EXPECT_TRUE(document.problems.empty());
    EXPECT_EQ(encoding_of(document, 0), input);

    const std::vector<bencode_entry> entries = entries_of(document, 0);
    ASSERT_EQ(entries.size(), 4u);
    const char *names[] = {"age", "list", "map", "name"};
    const char *encodings[] = {"i-9223372036854775808e", "l4:spami0ee", "de", "5:value"};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].name, names[i]);
        EXPECT_EQ(encoding_of(document, entries[i].key),
                  std::to_string(std::strlen(names[i])) + ":" + names[i]);
        EXPECT_EQ(encoding_of(document, entries[i].value), encodings[i]);
    }
    EXPECT_EQ(integer_of(document, entries[0].value), INT64_MIN);
    const std::vector<value_index> list = elements_of(document, entries[1].value);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(text_of(document, list[0]), "spam");
    EXPECT_EQ(integer_of(document, list[1]), 0);
    EXPECT_EQ(count_of(document, entries[1].value), 2u);
    EXPECT_EQ(count_of(document, list[0]), 0u); // a string has no elements
    EXPECT_EQ(*find_key(document, 0, "name"), entries[3].value);
    EXPECT_FALSE(find_key(document, 0, "missing"));
    EXPECT_FALSE(find_key(document, entries[1].value, "spam")); // a list has no keys
}

// Where a value's encoding ends is worked out again from the input, going down last children
// that close together: each value's bytes, read alone, must be exactly one whole value with as
// many values inside as the document gives it.
TEST(BencodeReader, EveryValueSpansExactlyItsOwnBytes) {
    const char *inputs[] = {"llee",
                            "llelee",
                            "d1:ad1:bd1:clleeeee",
                            "lli1eeli-2eeli3e0:ee",
                            "d0:0:1:al10:0123456789ee",
                            "l1:xde2:yyd1:zi0eee"};
    for (const char *input : inputs) {
        const bencode_outcome outcome = read_bencode(std::string_view(input));
        ASSERT_TRUE(outcome.document) << input << ": " << outcome.error.reason;
        const bencode_document &document = *outcome.document;
        EXPECT_EQ(encoding_of(document, 0), input);
        for (value_index at = 0; at < document.values.size(); ++at) {
            const std::string_view alone = encoding_of(document, at);
            const bencode_outcome again = read_bencode(alone);
            ASSERT_TRUE(again.document) << input << ", value " << at << ": " << alone;
            EXPECT_EQ(again.document->values.size(), end_of(document, at) - at) << alone;
        }
    }
}

TEST(BencodeReader, AcceptsKeysOutOfOrderAndRepeatedButListsThem) {
    struct problem_case {
        const char *input;
        std::vector<std::pair<std::string, std::size_t>> problems;
        const char *value_of_a; // the first of repeated keys counts, as clients take it
    };
    const problem_case cases[] = {
        {"d1:ai1e1:bi2ee", {}, "i1e"},
        {"d1:bi1e1:ai2ee", {{"key 'a' out of order", 7}}, "i2e"},
        {"d1:ai1e1:ai2ee", {{"duplicate key 'a'", 7}}, "i1e"},
        {"d1:ai1e1:bi1e1:ai2ee", {{"key 'a' out of order", 13}, {"duplicate key 'a'", 13}}, "i1e"},
        {"d1:ad1:bi1e1:ai2eee", {{"key 'a' out of order", 11}}, "d1:bi1e1:ai2ee"},
    };
    for (const problem_case &each : cases) {
        SCOPED_TRACE(each.input);
        const bencode_outcome outcome = read_bencode(each.input);
        ASSERT_TRUE(outcome.document);
        ASSERT_EQ(outcome.document->problems.size(), each.problems.size());
        for (std::size_t i = 0; i < each.problems.size(); ++i) {
            EXPECT_EQ(outcome.document->problems[i].reason, each.problems[i].first);
            EXPECT_EQ(outcome.document->problems[i].offset, each.problems[i].second);
        }
        EXPECT_EQ(encoding_of(*outcome.document, *find_key(*outcome.document, 0, "a")),
                  each.value_of_a);
    }
}
} // namespace
