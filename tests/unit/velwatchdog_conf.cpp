// The supervisor's configuration reader: every rule of the syntax, one table
// row per file text, with the entries and log lines it must give.
#include "velwatchdog_conf.h"
#include "test_util.h"
#include "vlog.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{
using words = std::vector<std::string>;

struct conf_case {
    const char *what;
    std::string text;
    std::vector<words> entries; // name, program, arguments...
    bool syntax_error;          // reading ends with -1 after the entries
    std::vector<std::string> errors;
};

constexpr const char *PATH = "/opt/velkarn/1.6.3/etc/velwatchdog.conf";

std::string many_args(int n)
{
    std::string s = "big /bin/big";
    for (int i = 0; i < n; i++)
        s += " a" + std::to_string(i);
    return s;
}

std::string pad(std::size_t len, char c = 'x')
{
    return std::string(len, c);
}

// Reads text to its end (or a syntax error), every entry flattened.
std::vector<words> read_all(const std::string &text, int *last)
{
    std::FILE *fp = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    std::vector<words> out;
    if (text.empty())
        fp = std::fopen("/dev/null", "r");
    EXPECT_NE(fp, nullptr);
    wat_conf_reader rd;
    WAT_ConfInit(&rd, fp, PATH);
    wat_conf_entry e;
    while ((*last = WAT_ConfNext(&rd, &e)) == 1) {
        words w = {e.name, e.program};
        w.insert(w.end(), e.args.begin(), e.args.end());
        out.push_back(w);
    }
    std::fclose(fp);
    return out;
}

const std::string ERR_TOO_MANY =
    std::string("[ERROR] ") + PATH + ": too many arguments for service big";
const std::string ERR_SYNTAX = std::string("[ERROR] ") + PATH + ": syntax error";

const std::vector<conf_case> cases = {
    {"the documented example",
     "meshd /path/to/velmeshd velmeshd -F\n",
     {{"meshd", "/path/to/velmeshd", "velmeshd", "-F"}},
     false,
     {}},
    {"no arguments, no final line end", "x /bin/x", {{"x", "/bin/x"}}, false, {}},
    {"blanks and tabs split words, leading ones ignored",
     " \t a\t\t/bin/a  b \t\n",
     {{"a", "/bin/a", "b"}},
     false,
     {}},
    {"comment and empty lines; # inside a line is a word",
     "# all off\n\n#x /bin/x\ny /bin/y #not-a-comment\n",
     {{"y", "/bin/y", "#not-a-comment"}},
     false,
     {}},
    {"double and single quotes keep blanks, drop the quotes",
     "q /bin/q \"a b\" 'a b' \"it's\" '\"'\n",
     {{"q", "/bin/q", "a b", "a b", "it's", "\""}},
     false,
     {}},
    {"no escapes; a closing quote ends the word",
     "q /bin/q \"a\\\"b\" \"x y\"z ''\n",
     {{"q", "/bin/q", "a\\", "b\"", "x y", "z", ""}},
     false,
     {}},
    {"a quote in the middle of a word is ordinary",
     "q /bin/q ab\"c d\"\n",
     {{"q", "/bin/q", "ab\"c", "d\""}},
     false,
     {}},
    {"an open quote runs to the end of its line only",
     "q /bin/q \"a b\n\tc\n",
     {{"q", "/bin/q", "a b", "c"}},
     false,
     {}},
    {"tab and space continuation lines",
     "lmond /bin/lmond\n\tvellmond\n -F\nnext /bin/n\n",
     {{"lmond", "/bin/lmond", "vellmond", "-F"}, {"next", "/bin/n"}},
     false,
     {}},
    {"continuation can carry the program",
     "svc\n\t/bin/svc arg\n",
     {{"svc", "/bin/svc", "arg"}},
     false,
     {}},
    {"an empty line or a comment ends an entry",
     "a /bin/a\n\n b\n",
     {{"a", "/bin/a"}},
     true,
     {ERR_SYNTAX}},
    {"a blank-only line starts an entry only when continued",
     "  \t\n\ta /bin/a\n   \nb /bin/b\n",
     {{"a", "/bin/a"}, {"b", "/bin/b"}},
     false,
     {}},
    {"name only ends the reading",
     "a /bin/a\nlonely\nb /bin/b\n",
     {{"a", "/bin/a"}},
     true,
     {ERR_SYNTAX}},
    {"quoted empty name still needs a program", "\"\"\n", {}, true, {ERR_SYNTAX}},
    {"200 arguments are accepted", many_args(200) + "\n", {}, false, {}},
    {"201 arguments drop that entry only",
     many_args(201) + "\nz /bin/z\n",
     {{"z", "/bin/z"}},
     false,
     {ERR_TOO_MANY}},
    {"CR LF line ends", "a /bin/a x\r\n\tb\r\n", {{"a", "/bin/a", "x", "b"}}, false, {}},
    {"a NUL byte ends the line's text",
     std::string("a /bin/a x\0y z\nb /bin/b\n", 24),
     {{"a", "/bin/a", "x"}, {"b", "/bin/b"}},
     false,
     {}},
};

TEST(WatConf, Syntax)
{
    VLOG_SetSink(test_util::capture);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        test_util::logged.clear();
        int last = 0;
        auto got = read_all(c.text, &last);
        if (std::string(c.what) == "200 arguments are accepted") {
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0].size(), 202u);
            EXPECT_EQ(got[0].back(), "a199");
        } else {
            EXPECT_EQ(got, c.entries);
        }
        EXPECT_EQ(last, c.syntax_error ? -1 : 0);
        std::vector<std::string> lines;
        for (const auto &[prio, l] : test_util::logged) {
            EXPECT_EQ(prio, LOG_ERR) << l;
            lines.push_back(l);
        }
        EXPECT_EQ(lines, c.errors);
    }
    VLOG_SetSink(nullptr);
}

// Lines longer than the limit read as several lines; a line of exactly the
// limit keeps its line end, so what follows it may still continue it.
TEST(WatConf, LongLines)
{
    std::string exact = "a /bin/a " + pad(WAT_LINE_MAX - 9);
    ASSERT_EQ(exact.size(), WAT_LINE_MAX);
    int last;
    auto got = read_all(exact + "\n\tmore\n", &last);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (words{"a", "/bin/a", pad(WAT_LINE_MAX - 9), "more"}));

    // One byte more: the rest is a line of its own (here a new entry).
    std::string longer = "a /bin/a " + pad(WAT_LINE_MAX - 9) + "b /bin/b";
    got = read_all(longer + "\n", &last);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], (words{"b", "/bin/b"}));
    // ... or a continuation, when it starts with a blank.
    got = read_all("a /bin/a " + pad(WAT_LINE_MAX - 9) + " tail\n", &last);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].back(), "tail");
    EXPECT_EQ(last, 0);
}
} // namespace
