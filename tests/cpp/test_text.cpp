// Proves the text helpers that error messages and entry names rest on: UTF-8
// decoding replaces each maximal invalid subpart with exactly one U+FFFD,
// validation agrees with it, and the quoted forms escape exactly the
// characters they must (names leave the single quote alone, paths escape it).

#include "common/text.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using quastor::decode_utf8_lossy;
using quastor::is_valid_utf8;
using quastor::quoted_name;
using quastor::quoted_path;

namespace {

// "#" in an expected text stands for U+FFFD, to keep the table readable.
std::string with_replacements(std::string_view pattern)
{
    std::string out;
    for (char c : pattern) {
        if (c == '#')
            out += "\xEF\xBF\xBD";
        else
            out.push_back(c);
    }
    return out;
}

struct Utf8Case {
    std::string input;
    std::string expected;
};

} // namespace

TEST(Utf8Lossy, MaximalSubpartsBecomeOneReplacementEach)
{
    using namespace std::string_literals;
    Utf8Case const cases[] = {
        {""s, ""},
        {"abc"s, "abc"},
        {"a\xFF"
         "b"s,
            "a#b"},
        // Overlong, surrogate and beyond-U+10FFFF forms fail at their second
        // byte, so every byte is its own subpart.
        {"\xC0\x80"s, "##"},
        {"\xC1\xBF"s, "##"},
        {"\xE0\x80\x80"s, "###"},
        {"\xED\xA0\x80"s, "###"},
        {"\xF0\x80\x80\x80"s, "####"},
        {"\xF0\x8F\xBF\xBF"s, "####"},
        {"\xF4\x90\x80\x80"s, "####"},
        {"\xF5"s, "#"},
        {"\xFE\xFF"s, "##"},
        {"\x80\x80"s, "##"},
        // A truncated but otherwise valid sequence is one subpart.
        {"\xE2\x82"s, "#"},
        {"\xE2\x82"
         "A"s,
            "#A"},
        {"\xF0\x9F\x98"s, "#"},
        {"\xCE"s, "#"},
        {"a\xF1\x80\x80\xE1\x80\xC2"
         "b\x80"
         "c\x80\xBF"
         "d"s,
            "a###b#c##d"},
        {"a\0b"s, "a\0b"s},
    };
    for (auto const& c : cases)
        EXPECT_EQ(decode_utf8_lossy(c.input), with_replacements(c.expected)) << "input of " << c.input.size() << " bytes";
}

TEST(Utf8Lossy, BoundaryCodePointsAreValid)
{
    char const* const valid[] = {
        "\xC2\x80",         // U+0080
        "\xDF\xBF",         // U+07FF
        "\xE0\xA0\x80",     // U+0800
        "\xED\x9F\xBF",     // U+D7FF, just below the surrogates
        "\xEE\x80\x80",     // U+E000, just above them
        "\xEF\xBF\xBD",     // U+FFFD itself
        "\xF0\x90\x80\x80", // U+10000
        "\xF0\x9F\x98\x80", // U+1F600
        "\xF4\x8F\xBF\xBF", // U+10FFFF
    };
    for (char const* text : valid) {
        EXPECT_TRUE(is_valid_utf8(text)) << text;
        EXPECT_EQ(decode_utf8_lossy(text), text);
    }
}

TEST(Utf8Validation, AgreesWithDecoding)
{
    using namespace std::string_literals;
    std::string const invalid[] = {
        "\xFF"s, "\xC0\x80"s, "\xED\xA0\x80"s, "\xF4\x90\x80\x80"s, "\xE2\x82"s, "abc\x80"s, "\xF0\x9F\x98"s};
    for (auto const& text : invalid)
        EXPECT_FALSE(is_valid_utf8(text));
    EXPECT_TRUE(is_valid_utf8(""));
    EXPECT_TRUE(is_valid_utf8("a\0b"s));
    EXPECT_TRUE(is_valid_utf8("readme.txt"));
}

TEST(QuotedForm, NamedEscapesAndAsciiControls)
{
    using namespace std::string_literals;
    struct Case {
        std::string name;
        char const* expected;
    } const cases[] = {
        {"a/b.txt"s, R"("a/b.txt")"},
        {"a\0b"s, R"("a\0b")"},
        {"t\tr\rn\n"s, R"("t\tr\rn\n")"},
        {"x\\y"s, R"("x\\y")"},
        {"say \"hi\""s, R"("say \"hi\"")"},
        {"it's"s, R"("it's")"},
        {" "s, R"(" ")"},
        {"\x07"s, R"("\u{7}")"},
        {"\x1B[0m"s, R"("\u{1b}[0m")"},
        {"\x7F"s, R"("\u{7f}")"},
        {"\x01\x1F"s, R"("\u{1}\u{1f}")"},
        {"~!@#$%^&*()"s, R"q("~!@#$%^&*()")q"},
        {""s, R"("")"},
    };
    for (auto const& c : cases)
        EXPECT_EQ(quoted_name(c.name), c.expected);
}

TEST(QuotedForm, NonAsciiPrintableStaysAndUnprintableIsEscaped)
{
    struct Case {
        char const* name;
        char const* expected;
    } const cases[] = {
        {"caf\xC3\xA9", "\"caf\xC3\xA9\""},                 // U+00E9, a letter
        {"\xE6\x97\xA5\xE6\x9C\xAC", "\"\xE6\x97\xA5\xE6\x9C\xAC\""}, // CJK
        {"\xEF\xBF\xBD", "\"\xEF\xBF\xBD\""},               // U+FFFD, a symbol
        {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},       // U+1F600
        {"\xC2\x85", R"("\u{85}")"},                        // NEL, a control
        {"\xC2\xA0", R"("\u{a0}")"},                        // no-break space, a separator
        {"\xE2\x80\x8B", R"("\u{200b}")"},                  // zero width space, a format character
        {"\xEF\xBB\xBF", R"("\u{feff}")"},                  // byte order mark, a format character
        {"\xE2\x80\xAE", R"("\u{202e}")"},                  // right-to-left override
        {"\xE2\x80\xA8", R"("\u{2028}")"},                  // line separator
        {"\xE2\x80\xA9", R"("\u{2029}")"},                  // paragraph separator
        {"\xEE\x80\x80", R"("\u{e000}")"},                  // private use
        {"\xCD\xB8", R"("\u{378}")"},                       // unassigned
        {"e\xCC\x81", R"("e\u{301}")"},                     // combining acute accent
        {"\xF4\x8F\xBF\xBF", R"("\u{10ffff}")"},            // noncharacter, unassigned
    };
    for (auto const& c : cases)
        EXPECT_EQ(quoted_name(c.name), c.expected) << c.name;
}

TEST(QuotedForm, PathsAlsoEscapeTheSingleQuote)
{
    EXPECT_EQ(quoted_path("it's/x"), R"("it\'s/x")");
    EXPECT_EQ(quoted_name("it's/x"), R"("it's/x")");
    EXPECT_EQ(quoted_path("x/y"), R"("x/y")");
    EXPECT_EQ(quoted_path("a\"b\\c\t"), R"("a\"b\\c\t")");
}

TEST(QuotedForm, StrayBytesStillGetAVisibleForm)
{
    // Names are decoded with replacement first; a stray byte must not be
    // copied raw into a message that is later read as UTF-8.
    EXPECT_EQ(quoted_name("a\xFF"
                          "b"),
        "\"a\xEF\xBF\xBD"
        "b\"");
}

TEST(QuotedForm, InvalidInputReadsAsItsLossyDecoding)
{
    char const* const inputs[] = {"\xE2\x82", "x\xC0\x80y", "\xF0\x9F\x98", "\xED\xA0\x80"};
    for (char const* input : inputs)
        EXPECT_EQ(quoted_name(input), quoted_name(decode_utf8_lossy(input))) << input;
}
