#include "vsb.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdio>
#include <cwchar>
#include <random>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace
{

struct vsb *new_auto()
{
    return VSB_new(nullptr, nullptr, 0, VSB_GROW);
}

std::string finished(struct vsb *s)
{
    EXPECT_EQ(VSB_finish(s), 0);
    return std::string(VSB_data(s), VSB_len(s));
}

// Quote, strip the quotes if any were added, decode again.
std::string round_trip(const std::string &in)
{
    struct vsb *q = new_auto();
    VSB_add_quoted(q, in.data(), (ssize_t)in.size(), 0);
    std::string quoted = finished(q);
    VSB_delete(q);
    if (!quoted.empty() && quoted.front() == '"') {
        EXPECT_GE(quoted.size(), 2u);
        EXPECT_EQ(quoted.back(), '"');
        quoted = quoted.substr(1, quoted.size() - 2);
    }
    struct vsb *u = new_auto();
    EXPECT_EQ(VSB_add_unquoted(u, quoted.data(), (ssize_t)quoted.size(), 0), nullptr) << quoted;
    std::string out = finished(u);
    VSB_delete(u);
    return out;
}

} // namespace

TEST(Vsb, ExtendSizeDoublesToAPageThenRoundsToPages)
{
    const int cases[][2] = {{0, 16},      {1, 16},      {16, 16},     {17, 32},
                            {1000, 1024}, {4095, 4096}, {4096, 4096}, {4097, 8192},
                            {5000, 8192}, {8192, 8192}, {8193, 12288}};
    for (const auto &c : cases)
        EXPECT_EQ(VSB_extendsize(c[0]), c[1]) << c[0];
}

TEST(Vsb, AutoBufferGrowsAndKeepsContent)
{
    struct vsb *s = new_auto();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->s_size, 16);
    for (int i = 0; i < 15; i++)
        VSB_put_byte(s, 'a' + i);
    EXPECT_EQ(s->s_size, 16);
    EXPECT_EQ(VSB_put_char(s, 'p'), 0);
    EXPECT_EQ(s->s_size, 32);

    std::string expect = "abcdefghijklmnop";
    for (int i = 0; i < 2000; i++) {
        std::string piece = std::to_string(i) + ",";
        ASSERT_EQ(VSB_cat(s, piece.c_str()), 0);
        expect += piece;
    }
    // A formatted append larger than a page takes the reformat path.
    ASSERT_EQ(VSB_format(s, "[%6000d]", 7), 0);
    expect += "[" + std::string(5999, ' ') + "7]";
    EXPECT_EQ(s->s_size % 4096, 0);
    EXPECT_EQ(finished(s), expect);
    EXPECT_FALSE(VSB_fault(s));
    VSB_delete(s);
}

TEST(Vsb, FixedBufferLatchesWhenAByteDoesNotFit)
{
    char store[8];
    struct vsb sb;
    ASSERT_EQ(VSB_new(&sb, store, sizeof store, VSB_FIXEDLEN), &sb);
    for (int i = 0; i < 7; i++)
        VSB_put_byte(&sb, '1' + i);
    EXPECT_EQ(VSB_len(&sb), 7);
    EXPECT_EQ(VSB_put_char(&sb, 'x'), -1);
    EXPECT_EQ(VSB_fault(&sb), ENOMEM);
    EXPECT_EQ(VSB_len(&sb), -1);
    // Latched: later appends are no-ops, even ones that would fit after a clear.
    EXPECT_EQ(VSB_cat(&sb, ""), -1);
    EXPECT_EQ(VSB_bcat(&sb, "y", 1), -1);
    EXPECT_EQ(VSB_format(&sb, "%s", ""), -1);
    EXPECT_EQ(VSB_trim(&sb), -1);
    errno = 0;
    EXPECT_EQ(VSB_finish(&sb), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_STREQ(VSB_data(&sb), "1234567");
    EXPECT_EQ(VSB_data(&sb), store);

    // bcpy clears the latch; the caller's storage is still in use.
    VSB_clear(&sb);
    EXPECT_EQ(VSB_bcpy(&sb, "ab", 2), 0);
    EXPECT_EQ(VSB_cpy(&sb, "cd"), 0);
    EXPECT_EQ(finished(&sb), "cd");
    EXPECT_EQ(VSB_data(&sb), store);
    VSB_delete(&sb);
    EXPECT_EQ(sb.s_magic, 0u);
}

TEST(Vsb, FixedBufferFormatQuirks)
{
    struct vsb *s = VSB_new(nullptr, nullptr, 8, VSB_FIXEDLEN);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->s_size, 8);
    EXPECT_EQ(VSB_format(s, "%s", "123456"), 0);
    EXPECT_EQ(VSB_finish(s), 0);
    EXPECT_EQ(errno, 0);

    // Reaching capacity - 1 by formatting latches although nothing was lost.
    VSB_clear(s);
    EXPECT_EQ(VSB_format(s, "%d", 1234567), -1);
    EXPECT_EQ(VSB_fault(s), ENOMEM);
    EXPECT_EQ(VSB_finish(s), -1);
    EXPECT_STREQ(VSB_data(s), "1234567");

    // Longer output is cut to what fits.
    VSB_clear(s);
    EXPECT_EQ(VSB_cat(s, "ab"), 0);
    EXPECT_EQ(VSB_format(s, "%s", "cdefghijkl"), -1);
    EXPECT_EQ(VSB_finish(s), -1);
    EXPECT_STREQ(VSB_data(s), "abcdefg");
    VSB_delete(s);
}

TEST(Vsb, GrowingCallerStorageTakesOwnershipWithoutFreeingIt)
{
    char store[4] = {'x', 'x', 'x', 'x'};
    struct vsb sb;
    ASSERT_EQ(VSB_new(&sb, store, sizeof store, VSB_GROW), &sb);
    EXPECT_FALSE(sb.s_flags & VSB_OWN_STORAGE);
    EXPECT_EQ(VSB_cat(&sb, "hello, world"), 0);
    EXPECT_TRUE(sb.s_flags & VSB_OWN_STORAGE);
    EXPECT_NE(sb.s_buf, store);
    EXPECT_EQ(std::memcmp(store, "hel", 3), 0);
    EXPECT_EQ(finished(&sb), "hello, world");
    VSB_delete(&sb); // frees the grown storage only (the sanitizer build checks)
}

TEST(Vsb, FailedFormattingAndOversizedGrowthReportErrors)
{
    struct vsb *s = new_auto();
    ASSERT_EQ(VSB_cat(s, "ok"), 0);
    EXPECT_EQ(VSB_grow(s, SSIZE_MAX), -1);
    EXPECT_EQ(VSB_grow(s, (ssize_t)INT_MAX), -1);
    EXPECT_EQ(s->s_size, 16);
    EXPECT_EQ(VSB_len(s), 2);

    // A wide character the C locale cannot encode makes vsnprintf fail; that
    // must be an error, not a silent shrink of the content.
    const wchar_t bad[] = {(wchar_t)0x20ac, 0};
    EXPECT_EQ(VSB_format(s, "%ls", bad), -1);
    EXPECT_NE(VSB_fault(s), 0);
    EXPECT_EQ(VSB_finish(s), -1);
    EXPECT_STREQ(VSB_data(s), "ok");
    VSB_delete(s);

    char store[8];
    struct vsb sb;
    VSB_new(&sb, store, sizeof store, VSB_FIXEDLEN);
    EXPECT_EQ(VSB_grow(&sb, 1), -1);
    VSB_delete(&sb);
}

// Format a 64 MiB text under an address-space limit that leaves no room to
// grow for it: the text is cut, and that must be reported, not passed off as
// success. Gives 0 when it is.
int format_without_memory()
{
    const std::string big(64 << 20, 'z');
    struct vsb *s = new_auto();
    long pages = 0;
    FILE *fp = std::fopen("/proc/self/statm", "r");
    if (fp == nullptr || std::fscanf(fp, "%ld", &pages) != 1)
        return 2;
    std::fclose(fp);
    const rlim_t lim = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + (16 << 20);
    const struct rlimit rl = {lim, lim};
    if (setrlimit(RLIMIT_AS, &rl) != 0)
        return 3;
    int r = VSB_format(s, "%s", big.c_str());
    bool ok = r == -1 && VSB_fault(s) == ENOMEM && VSB_len(s) == -1 && VSB_finish(s) == -1 &&
              std::string(VSB_data(s)) == std::string(15, 'z');
    return ok ? 0 : 1;
}

TEST(VsbDeathTest, FormatThatCannotGrowLatchesENOMEM)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit does not mix with the sanitizer";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(_exit(format_without_memory()), testing::ExitedWithCode(0), "");
}

TEST(Vsb, SetposTrimClearAndSealing)
{
    struct vsb *s = new_auto();
    ASSERT_EQ(VSB_cat(s, "abcdef"), 0);
    EXPECT_EQ(VSB_setpos(s, 7), -1);
    EXPECT_EQ(VSB_len(s), 6);
    EXPECT_EQ(VSB_setpos(s, 6), 0);
    EXPECT_EQ(VSB_setpos(s, 3), 0);
    EXPECT_EQ(VSB_cat(s, "  x \t\n\v\f\r "), 0);
    EXPECT_EQ(VSB_trim(s), 0);
    EXPECT_FALSE(VSB_sealed(s));
    EXPECT_EQ(finished(s), "abc  x");
    EXPECT_TRUE(VSB_sealed(s));

    VSB_clear(s);
    EXPECT_FALSE(VSB_sealed(s));
    EXPECT_EQ(VSB_cat(s, " \n"), 0);
    EXPECT_EQ(VSB_trim(s), 0);
    EXPECT_EQ(finished(s), "");

    // Embedded NULs are content; bcat appends them.
    VSB_clear(s);
    EXPECT_EQ(VSB_bcat(s, "a\0b", 3), 0);
    EXPECT_EQ(finished(s), std::string("a\0b", 3));
    VSB_delete(s);
}

TEST(Vsb, QuotedForms)
{
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"abc", "abc"},
        {"", ""},
        {"a b", "\"a b\""},
        {"\x01", "\"\\1\""},
        {"q\"b\\", "\"q\\\"b\\\\\""},
        {"\n\r\t\x7f\xff", "\"\\n\\r\\t\\177\\377\""},
        // A digit after an octal escape is escaped too, or it would join it.
        {"\x01"
         "2a8",
         "\"\\1\\62a8\""},
    };
    for (const auto &c : cases) {
        struct vsb *s = new_auto();
        VSB_add_quoted(s, c.in.data(), (ssize_t)c.in.size(), 0);
        EXPECT_EQ(finished(s), c.out) << c.in;
        VSB_delete(s);
    }
    // Length -1 takes the string up to its NUL.
    struct vsb *s = new_auto();
    VSB_add_quoted(s, "a b", -1, 0);
    EXPECT_EQ(finished(s), "\"a b\"");
    VSB_delete(s);
}

TEST(Vsb, UnquoteDecodesAndReportsBadSequences)
{
    const struct {
        std::string in;
        std::string out;
        const char *err;
    } cases[] = {
        {"\\101", "A", nullptr},
        {"x\\n\\r\\t\\\\\\\"\\q", "x\n\r\t\\\"q", nullptr},
        {"\\0", std::string(1, '\0'), nullptr},
        {"\\00000377z",
         "\xff"
         "z",
         nullptr},
        {"ab\\", "ab", "Incomplete '\\'-sequence at end of string"},
        {"ab\\400cd", "ab", "\\ooo sequence out of range"},
        {"\\777777777777777777777777777", "", "\\ooo sequence out of range"},
    };
    for (const auto &c : cases) {
        struct vsb *s = new_auto();
        const char *err = VSB_add_unquoted(s, c.in.data(), (ssize_t)c.in.size(), 0);
        if (c.err == nullptr)
            EXPECT_EQ(err, nullptr) << c.in;
        else
            EXPECT_STREQ(err, c.err) << c.in;
        EXPECT_EQ(finished(s), c.out) << c.in;
        VSB_delete(s);
    }

    // The octal run ends at the given length, whatever follows in memory.
    struct vsb *s = new_auto();
    EXPECT_EQ(VSB_add_unquoted(s, "\\101", 3, 0), nullptr);
    EXPECT_EQ(finished(s), "\x08");
    VSB_clear(s);
    EXPECT_EQ(VSB_add_unquoted(s, "\\10", -1, 0), nullptr);
    EXPECT_EQ(finished(s), "\x08");
    VSB_delete(s);
}

TEST(Vsb, QuoteRoundTrips)
{
    std::string all;
    for (int c = 0; c < 256; c++)
        all += (char)c;
    EXPECT_EQ(round_trip(all), all);

    std::mt19937 rng(12345);
    const char alphabet[] = "\x01\x07\x1f\x7f\x80\xff\\\" \n\r\t0123789ab";
    for (int n = 0; n < 300; n++) {
        std::string in;
        size_t len = rng() % 24;
        for (size_t i = 0; i < len; i++)
            in += (rng() % 2) ? alphabet[rng() % (sizeof alphabet - 1)] : (char)(rng() % 256);
        ASSERT_EQ(round_trip(in), in);
    }
}

TEST(VsbDeathTest, MisuseAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(VSB_new(nullptr, nullptr, -1, VSB_GROW), "Condition\\(length >= 0\\)");
    EXPECT_DEATH(VSB_new(nullptr, nullptr, 0, 0x10000),
                 "Condition\\(\\(flags & ~0x0000ffff\\) == 0\\)");
    EXPECT_DEATH(VSB_new(nullptr, nullptr, 1, VSB_FIXEDLEN), "Condition\\(s->s_size > 1\\)");

    struct vsb *s = new_auto();
    EXPECT_DEATH(VSB_data(s), "VSB_data.*Condition\\(\\(s->s_flags & 0x00020000\\) == state\\)");
    EXPECT_DEATH(VSB_setpos(s, 16), "Condition\\(pos < s->s_size\\)");
    EXPECT_DEATH(VSB_setpos(s, -1), "Condition\\(pos >= 0\\)");
    EXPECT_DEATH(VSB_format(s, nullptr), "Condition\\(fmt != \\(\\(void \\*\\)0\\)\\)");
    VSB_finish(s);
    EXPECT_DEATH(VSB_cat(s, "x"), "VSB_cat.*Condition\\(\\(s->s_flags & 0x00020000\\) == state\\)");
    EXPECT_DEATH(VSB_put_byte(s, 'x'), "Condition\\(\\(s->s_flags & 0x00020000\\) == state\\)");
    VSB_delete(s);

    struct vsb sb;
    VSB_new(&sb, nullptr, 0, VSB_GROW);
    VSB_delete(&sb);
    EXPECT_DEATH(VSB_cat(&sb, "x"), "Condition\\(s->s_magic == 0x4a82dd8a\\)");
    EXPECT_DEATH(VSB_len(nullptr), "Condition\\(s != \\(\\(void \\*\\)0\\)\\)");
}
