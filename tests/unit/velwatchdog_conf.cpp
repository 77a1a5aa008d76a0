// The supervisor's configuration reader: every rule of the syntax, one table
// row per file text, with the entries and log lines it must give.
#include "velwatchdog_conf.h"
#include "test_util.h"
#include "vlog.h"

#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <string>
#include <vector>

namespace
{
constexpr const char *PATH = "/opt/velkarn/1.6.3/etc/velwatchdog.conf";

std::string many_args(int n)
{
    std::string s = "big /bin/big";
    for (int i = 0; i < n; i++)
        s += " a" + std::to_string(i);
    return s;
}

// Reads text to its end (or a syntax error): every entry as its words joined
// by "|", entries joined by ";", then "=" and the last result of the reader.
std::string read_all(const std::string &text)
{
    std::FILE *fp = text.empty() ? std::fopen("/dev/null", "r")
                                 : fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    EXPECT_NE(fp, nullptr);
    wat_conf_reader rd;
    WAT_ConfInit(&rd, fp, PATH);
    wat_conf_entry e;
    std::string out;
    int last;
    while ((last = WAT_ConfNext(&rd, &e)) == 1) {
        out += (out.empty() ? "" : ";") + e.name + "|" + e.program;
        for (const auto &a : e.args)
            out += "|" + a;
    }
    std::fclose(fp);
    return out + "=" + std::to_string(last);
}

TEST(WatConf, Syntax)
{
    const std::string pad(WAT_LINE_MAX - 9, 'x'); // "a /bin/a " + pad: a line of the limit
    struct {
        const char *what;
        std::string text;
        std::string expect;
        const char *error = nullptr; // the one line logged
    } cases[] = {
        {"the documented example", "meshd /p/velmeshd velmeshd -F\n",
         "meshd|/p/velmeshd|velmeshd|-F=0"},
        {"no arguments, no final line end", "x /bin/x", "x|/bin/x=0"},
        {"blanks and tabs split, leading ones ignored", " \t a\t\t/bin/a  b \t\n", "a|/bin/a|b=0"},
        {"comments, empty lines; # inside a line is a word",
         "# all off\n\n#x /bin/x\ny /bin/y #not-a-comment\n", "y|/bin/y|#not-a-comment=0"},
        {"both quote kinds keep blanks, drop the quotes", "q /bin/q \"a b\" 'a b' \"it's\" '\"'\n",
         "q|/bin/q|a b|a b|it's|\"=0"},
        {"no escapes; a closing quote ends the word", "q /bin/q \"a\\\"b\" \"x y\"z ''\n",
         "q|/bin/q|a\\|b\"|x y|z|=0"},
        {"a quote inside a word is ordinary", "q /bin/q ab\"c d\"\n", "q|/bin/q|ab\"c|d\"=0"},
        {"an open quote runs to its line's end", "q /bin/q \"a b\n\tc\n", "q|/bin/q|a b|c=0"},
        {"tab and space continuation lines", "l /bin/l\n\tvellmond\n -F\nn /bin/n\n",
         "l|/bin/l|vellmond|-F;n|/bin/n=0"},
        {"continuation can carry the program", "svc\n\t/bin/svc arg\n", "svc|/bin/svc|arg=0"},
        {"an empty line ends an entry", "a /bin/a\n\n b\n", "a|/bin/a=-1", "syntax error"},
        {"a blank-only line starts an entry only when continued",
         "  \t\n\ta /bin/a\n   \nb /bin/b\n", "a|/bin/a;b|/bin/b=0"},
        {"name only ends the reading", "a /bin/a\nlonely\nb /bin/b\n", "a|/bin/a=-1",
         "syntax error"},
        {"quoted empty name needs a program", "\"\"\n", "=-1", "syntax error"},
        {"201 arguments drop that entry only", many_args(201) + "\nz /bin/z\n", "z|/bin/z=0",
         "too many arguments for service big"},
        {"CR LF line ends", "a /bin/a x\r\n\tb\r\n", "a|/bin/a|x|b=0"},
        {"a NUL byte ends the line's text", std::string("a /bin/a x\0y z\nb /bin/b\n", 24),
         "a|/bin/a|x;b|/bin/b=0"},
        {"a line of exactly the limit keeps its line end", "a /bin/a " + pad + "\n\tmore\n",
         "a|/bin/a|" + pad + "|more=0"},
        {"one byte more: the rest is a line of its own", "a /bin/a " + pad + "b /bin/b\n",
         "a|/bin/a|" + pad + ";b|/bin/b=0"},
        {"... or a continuation", "a /bin/a " + pad + " tail\n", "a|/bin/a|" + pad + "|tail=0"},
    };
    VLOG_SetSink(test_util::capture);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        test_util::logged.clear();
        EXPECT_EQ(read_all(c.text), c.expect);
        std::vector<std::pair<int, std::string>> want;
        if (c.error)
            want.push_back({LOG_ERR, std::string("[ERROR] ") + PATH + ": " + c.error});
        EXPECT_EQ(test_util::logged, want);
    }
    std::string got = read_all(many_args(200) + "\n"); // the most arguments accepted
    EXPECT_EQ(got.substr(got.size() - 7), "|a199=0");
    VLOG_SetSink(nullptr);
}
// What an operator sees from velwatchdog -t before a reload.
TEST(WatConf, VerifyNamesTheLineAndTheReason)
{
    test_util::scratch_dir dir;
    ASSERT_TRUE(dir.create("/tmp/watconf.XXXXXX"));
    const std::string f = dir.path() + "/velwatchdog.conf";
    VLOG_SetSink(test_util::capture);
    struct {
        const char *what;
        const char *text; // null: no file at all; "/": a directory in its place
        int result;
        std::string why;
        unsigned n;
    } cases[] = {
        {"good file", "# c\na /bin/a x\n\tcont\nb /bin/b\n", 0, "", 2},
        {"empty file", "", 0, "", 0},
        {"a name without program on line 4", "a /bin/a\n\tx\n# c\nlonely\nb /bin/b\n", -1,
         f + " line 4: syntax error, a service name without a program", 0},
        {"missing", nullptr, -1, f + ": No such file or directory", 0},
        {"a directory", "/", -1, f + ": not a regular file", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(f);
        if (c.text != nullptr && std::string(c.text) == "/")
            ASSERT_EQ(mkdir(f.c_str(), 0755), 0);
        else if (c.text != nullptr)
            test_util::put(f, c.text);
        std::string why;
        unsigned n = 99;
        EXPECT_EQ(WAT_ConfVerify(f.c_str(), &why, &n), c.result);
        EXPECT_EQ(why, c.why);
        if (c.result == 0) {
            EXPECT_EQ(n, c.n);
        }
    }
    std::filesystem::remove_all(f);
    VLOG_SetSink(nullptr);
    dir.remove();
}
} // namespace
