#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vav.h"

namespace
{

struct escape_case {
    const char *text;
    int len;
    char byte;
};

// Exactly sized heap copy, so that reading past the NUL shows up under ASan.
struct heap_text {
    char *p;
    explicit heap_text(const char *s) : p(strdup(s)) {}
    ~heap_text() { free(p); }
};

std::vector<std::string> args_of(char **av)
{
    std::vector<std::string> v;
    for (int i = 1; av[i] != nullptr; i++)
        v.emplace_back(av[i]);
    return v;
}

TEST(vav, backslash_escapes)
{
    const escape_case cases[] = {
        {"\\n", 2, '\n'},
        {"\\r", 2, '\r'},
        {"\\t", 2, '\t'},
        {"\\\"", 2, '"'},
        {"\\\\", 2, '\\'},
        {"\\x41", 4, 'A'},
        {"\\x4a", 4, 'J'},
        {"\\x4Fz", 4, 'O'},
        {"\\101", 4, 'A'},
        {"\\0", 2, '\0'},
        {"\\08", 2, '\0'},
        {"\\12x", 3, '\n'},
        {"\\1234", 4, 'S'},
        {"\\777", 4, '\xff'},
        {"\\q", 0, 0},
        {"\\xg", 0, 0},
        {"\\x", 0, 0},
        {"\\", 0, 0},
        {"\\8", 0, 0},
        {"\\x-1", 0, 0},
        {"\\x 4", 0, 0},
        {"\\x+4", 0, 0},
        // A lone hex digit ends the escape: the next character is not eaten.
        {"\\x4", 3, '\x04'},
        {"\\x4g", 3, '\x04'},
    };
    for (const auto &tc : cases) {
        heap_text t(tc.text);
        char c = 'U';
        EXPECT_EQ(VAV_BackSlash(t.p, &c), tc.len) << tc.text;
        if (tc.len > 0)
            EXPECT_EQ(c, tc.byte) << tc.text;
        else
            EXPECT_EQ(c, 'U') << tc.text;
        EXPECT_EQ(VAV_BackSlash(t.p, nullptr), tc.len) << tc.text;
    }
}

TEST(vav, backslash_decode)
{
    auto dec = [](const char *s, const char *e) {
        char *p = VAV_BackSlashDecode(s, e);
        std::string r = p != nullptr ? std::string(p) : std::string("<null>");
        free(p);
        return r;
    };
    EXPECT_EQ(dec("a\\tb\\x41\\101z", nullptr), "a\tbAAz");
    EXPECT_EQ(dec("", nullptr), "");
    heap_text tail("ab\\x4");
    EXPECT_EQ(dec(tail.p, nullptr), "ab\x04");
    // Invalid escapes are kept as written, and the copy stays in bounds.
    heap_text bad("\\q\\");
    EXPECT_EQ(dec(bad.p, nullptr), "\\q\\");
    // The end bound also bounds an escape.
    const char *s = "\\x41rest";
    EXPECT_EQ(dec(s, s + 3), "\x04");
    EXPECT_EQ(dec(s, s + 2), "\\x");
    EXPECT_EQ(dec(s, s + 4), "A");
}

TEST(vav, parse_splits_and_decodes)
{
    int ac = -1;
    char **av = VAV_Parse("  one two\tthree  ", &ac, 0);
    ASSERT_NE(av, nullptr);
    EXPECT_EQ(av[0], nullptr);
    EXPECT_EQ(ac, 4);
    EXPECT_EQ(args_of(av), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(av[4], nullptr);
    VAV_Release(av);

    av = VAV_Parse("\"a b\" c\\x41d \"q\\\"t\"x \"\"", &ac, 0);
    ASSERT_EQ(av[0], nullptr);
    EXPECT_EQ(args_of(av), (std::vector<std::string>{"a b", "cAd", "q\"t", "x", ""}));
    VAV_Release(av);

    av = VAV_Parse("", &ac, 0);
    EXPECT_EQ(ac, 1);
    EXPECT_EQ(av[0], nullptr);
    EXPECT_EQ(av[1], nullptr);
    VAV_Release(av);

    // Bytes above 0x7f are ordinary characters.
    av = VAV_Parse("caf\xe9 \xa0x", nullptr, 0);
    EXPECT_EQ(args_of(av), (std::vector<std::string>{"caf\xe9", "\xa0x"}));
    VAV_Release(av);
}

TEST(vav, parse_flags)
{
    int ac;
    char **av = VAV_Parse("a,b", &ac, VAV_SPLIT_COMMA);
    EXPECT_EQ(args_of(av), (std::vector<std::string>{"a", "b"}));
    VAV_Release(av);
    av = VAV_Parse("a,b", &ac, 0);
    EXPECT_EQ(args_of(av), (std::vector<std::string>{"a,b"}));
    VAV_Release(av);
    av = VAV_Parse("1m,,\"x, y\" z", &ac, VAV_SPLIT_COMMA);
    EXPECT_EQ(args_of(av), (std::vector<std::string>{"1m", "", "x, y", "z"}));
    VAV_Release(av);

    av = VAV_Parse("a b#c # d e", &ac, VAV_HASH_COMMENT);
    EXPECT_EQ(args_of(av), (std::vector<std::string>{"a", "b#c"}));
    VAV_Release(av);
    av = VAV_Parse("a # d", &ac, 0);
    EXPECT_EQ(args_of(av), (std::vector<std::string>{"a", "#", "d"}));
    VAV_Release(av);

    av = VAV_Parse("\"a b\" \\q \\x41", &ac, VAV_RAW);
    ASSERT_EQ(av[0], nullptr);
    EXPECT_EQ(args_of(av), (std::vector<std::string>{"\"a", "b\"", "\\q", "\\x41"}));
    VAV_Release(av);
}

TEST(vav, parse_errors)
{
    int ac;
    char **av = VAV_Parse("ok \"never closed", &ac, 0);
    ASSERT_NE(av, nullptr);
    ASSERT_NE(av[0], nullptr);
    EXPECT_STREQ(av[0], "Missing '\"'");
    VAV_Release(av);

    av = VAV_Parse("ok bad\\q", &ac, 0);
    ASSERT_NE(av[0], nullptr);
    EXPECT_STREQ(av[0], "Invalid backslash sequence");
    VAV_Release(av);

    av = VAV_Parse("\"in quotes \\q\"", &ac, 0);
    EXPECT_STREQ(av[0], "Invalid backslash sequence");
    VAV_Release(av);

    // An escape cannot carry the scan past the end of the text.
    heap_text t("arg\\x4");
    av = VAV_Parse(t.p, &ac, 0);
    ASSERT_EQ(av[0], nullptr);
    EXPECT_EQ(args_of(av), (std::vector<std::string>{"arg\x04"}));
    VAV_Release(av);
    heap_text q("\"\\x4");
    av = VAV_Parse(q.p, &ac, 0);
    EXPECT_STREQ(av[0], "Missing '\"'");
    VAV_Release(av);
}

TEST(vav, parse_grows_and_releases_after_late_error)
{
    std::string text;
    std::vector<std::string> want;
    for (int i = 0; i < 70; i++) {
        want.push_back("w" + std::to_string(i));
        text += want.back() + " ";
    }
    int ac;
    char **av = VAV_Parse(text.c_str(), &ac, 0);
    ASSERT_EQ(av[0], nullptr);
    EXPECT_EQ(ac, 71);
    EXPECT_EQ(args_of(av), want);
    VAV_Release(av);

    // The vector has grown when the error comes; releasing it must stop at
    // the arguments stored so far (ASan would see a stray pointer).
    for (int n : {15, 16, 17, 31, 40}) {
        std::string t;
        for (int i = 0; i < n; i++)
            t += "x ";
        t += "\\q";
        av = VAV_Parse(t.c_str(), nullptr, 0);
        EXPECT_STREQ(av[0], "Invalid backslash sequence") << n;
        int stored = 0;
        while (av[stored + 1] != nullptr)
            stored++;
        EXPECT_EQ(stored, n);
        VAV_Release(av);
    }
}

} // namespace
