// velinit's node description and settings files. Cases that touch the fixed
// configuration directory run in a child with a private mount namespace and
// a tmpfs over /etc, so the host is never touched.
#include "velinit_info.h"
#include "test_util.h"
#include "vsb.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

using Outcome = test_util::child_outcome;

// Runs fn in a child with standard output captured; isolate gives it a fresh
// "/etc/velkarn-server" of its own.
Outcome child(const std::function<int()> &fn, bool isolate = false)
{
    return test_util::run_in_child([&] {
        if (isolate && (unshare(CLONE_NEWNS) != 0 ||
                        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                        mount("tmpfs", "/etc", "tmpfs", 0, "mode=0755") != 0 ||
                        mkdir("/etc/velkarn-server", 0755) != 0))
            return 99;
        return fn();
    });
}

bool can_isolate()
{
    return geteuid() == 0;
}
#define NEED_ROOT()                                                                                \
    do {                                                                                           \
        if (!can_isolate())                                                                        \
            GTEST_SKIP() << "needs root for a private mount namespace";                            \
    } while (0)

void put(const std::string &path, const std::string &content)
{
    FILE *fp = std::fopen(path.c_str(), "w");
    if (fp == nullptr)
        return;
    std::fwrite(content.data(), 1, content.size(), fp);
    std::fclose(fp);
}

std::string get(const std::string &path)
{
    FILE *fp = std::fopen(path.c_str(), "r");
    if (fp == nullptr)
        return "<missing>";
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0)
        s.append(buf, n);
    std::fclose(fp);
    return s;
}

struct TempDir {
    std::string path;
    TempDir()
    {
        char t[] = "/tmp/velinit_XXXXXX";
        path = mkdtemp(t);
    }
    ~TempDir() { std::system(("rm -rf " + path).c_str()); }
    std::string operator/(const char *name) const { return path + "/" + name; }
};

// Body built by fn, printed so the parent can compare it.
int print_body(const std::function<void(struct vsb *)> &fn)
{
    struct vsb *b = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    fn(b);
    VSB_finish(b);
    std::printf("BODY<%s>\n", VSB_data(b));
    VSB_delete(b);
    return 0;
}

TEST(SplitFields, EmptyFieldsDroppedAndLastFieldKeepsItsLineEnd)
{
    char text[] = ":10.9.0.1::KR:203.0.113.5:user:auth\n";
    char *slot[16];
    for (auto &s : slot)
        s = (char *)"x";
    ASSERT_EQ(splitFields(slot, 16, text, ":"), 5);
    EXPECT_STREQ(slot[0], "10.9.0.1");
    EXPECT_STREQ(slot[1], "KR");
    EXPECT_STREQ(slot[4], "auth\n");
    EXPECT_EQ(slot[5], nullptr);

    char trailing[] = "a:b::";
    ASSERT_EQ(splitFields(slot, 16, trailing, ":"), 2);
    EXPECT_EQ(slot[2], nullptr);

    char none[] = "";
    EXPECT_EQ(splitFields(slot, 16, none, ":"), 0);
    EXPECT_EQ(slot[0], nullptr);
}

TEST(SplitFields, SixteenFieldsAtMost)
{
    std::string s;
    for (int i = 1; i <= 20; i++)
        s += "f" + std::to_string(i) + ":";
    char *slot[17];
    slot[16] = (char *)"guard";
    ASSERT_EQ(splitFields(slot, 16, s.data(), ":"), 16);
    EXPECT_STREQ(slot[15], "f16"); // cut at its colon, the rest ignored
    EXPECT_STREQ(slot[16], "guard");
}

TEST(ReadFromFile, SizeBoundaries)
{
    TempDir d;
    put(d / "a", std::string(8191, 'a'));
    put(d / "b", std::string(8192, 'b'));
    put(d / "e", "");
    Outcome r = child([&] {
        char buf[8192];
        ssize_t a = readFromFile((d / "a").c_str(), buf, sizeof buf);
        std::printf("a=%zd nul=%d\n", a, buf[8191] == '\0');
        std::printf("b=%zd\n", readFromFile((d / "b").c_str(), buf, sizeof buf));
        std::printf("e=%zd\n", readFromFile((d / "e").c_str(), buf, sizeof buf));
        ssize_t m = readFromFile((d / "missing").c_str(), buf, sizeof buf);
        std::printf("m=%zd errno=%d\n", m, errno);
        return 0;
    });
    EXPECT_EQ(r.out, "a=8191 nul=1\n"
                     "[ERROR] fread(3) error: too long content\n"
                     "b=-3\n"
                     "[ERROR] fread(3) error: no content\n"
                     "e=-2\n"
                     "m=-1 errno=2\n");
}

TEST(WriteIntoFile, ExactContentAndFailures)
{
    TempDir d;
    put(d / "f", "a much longer old content\n");
    Outcome r = child([&] {
        int a = writeIntoFile((d / "f").c_str(), "10.9.0.1");
        int full = writeIntoFile("/dev/full", "abc");
        int nodir = writeIntoFile((d / "no/such").c_str(), "x");
        std::printf("%d %d %d\n", a, full, nodir);
        return 0;
    });
    EXPECT_EQ(get(d / "f"), "10.9.0.1"); // truncated, no line end added
    EXPECT_EQ(r.out, "[ERROR] fwrite(3) for /dev/full failed: 28 No space left on device\n"
                     "[ERROR] fopen(3) for " +
                         (d / "no/such") + " failed: 2 No such file or directory\n0 -1 -1\n");
}

TEST(ReadACL, LineRules)
{
    TempDir d;
    put(d / "allow", "a\n\nb\nc");
    put(d / "crlf", "x y\r\n \n");
    std::string l8191(8191, 'l'), l8192(8192, 'm');
    put(d / "long_ok", l8191 + "\nnext\n");
    put(d / "long_stop", "first\n" + l8192 + "\nlost\n");
    put(d / "empty", "");
    std::string big;
    while (big.size() < 65535)
        big += "u\n";
    big.resize(65535);
    put(d / "big_ok", big);
    put(d / "big_no", big + "\n");

    auto acl = [&](const char *name) {
        Outcome r = child([&] {
            return print_body([&](struct vsb *b) { readACL((d / name).c_str(), b, "k[]"); });
        });
        return r.out;
    };
    EXPECT_EQ(acl("allow"), "BODY<k[]=a&k[]=b&>\n");
    EXPECT_EQ(acl("crlf"), "BODY<k[]=x y\r&k[]= &>\n");
    EXPECT_EQ(acl("long_ok"), "BODY<k[]=" + l8191 + "&k[]=next&>\n");
    EXPECT_EQ(acl("long_stop"), "BODY<k[]=first&>\n");
    EXPECT_EQ(acl("empty"), "[ERROR] fread(3) error: no content\nBODY<>\n");
    EXPECT_EQ(acl("missing"), "BODY<>\n");
    EXPECT_EQ(acl("big_ok").size(), std::string("BODY<>\n").size() + 32767 * 6);
    EXPECT_EQ(acl("big_no"), "[ERROR] fread(3) error: too long content\nBODY<>\n");
}

TEST(RequestBody, FieldsInTheirOrderAsTheyAre)
{
    NEED_ROOT();
    Outcome r = child(
        [] {
            const char *dir = VELINIT_DIR;
            auto f = [&](const char *n, const std::string &c) { put(std::string(dir) + n, c); };
            f("owner_email", "o@example.org\n");
            f("name", "node 1&x=y");
            f("users_deny", "d1\n");
            f("users_allow", "a1\na2\n");
            f("commercial_node_price_international", std::string(8192, 'p'));
            f("commercial_node_price_domestic", std::string(8191, 'q'));
            f("commercial_node", "");
            f("version", "1.6.3");
            return print_body(VELINIT_Body);
        },
        true);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "[ERROR] fread(3) error: no content\n"
                     "[ERROR] fread(3) error: too long content\n"
                     "BODY<version=1.6.3&commercial_node_price_domestic=" +
                         std::string(8191, 'q') +
                         "&users_allow[]=a1&users_allow[]=a2&users_deny[]=d1&"
                         "name=node 1&x=y&owner_email=o@example.org\n&>\n");

    Outcome empty = child([] { return print_body(VELINIT_Body); }, true);
    EXPECT_EQ(empty.out, "BODY<>\n");
}

// Runs parseInfo on body in a fresh directory and lists what it left there.
Outcome parse_in_fresh_dir(
    const std::string &body, const std::function<void()> &prepare = [] {})
{
    return child(
        [&] {
            prepare();
            std::string b = body;
            int r = parseInfo(b.data());
            std::printf("result=%d\n", r);
            for (const char *n :
                 {"varnishd_listen_address", "v2_tapip", "country", "public_ip", "adn_userauth"})
                std::printf("%s=[%s]\n", n, get(std::string(VELINIT_DIR) + n).c_str());
            return 0;
        },
        true);
}

const char *untouched = "varnishd_listen_address=[<missing>]\nv2_tapip=[<missing>]\n"
                        "country=[<missing>]\npublic_ip=[<missing>]\nadn_userauth=[<missing>]\n";

TEST(ParseInfo, WritesTheFiveFiles)
{
    NEED_ROOT();
    const std::string want = "result=0\n"
                             "varnishd_listen_address=[10.254.254.1:7878,10.9.0.1:8080,10.9.0.1:"
                             "8081]\nv2_tapip=[10.9.0.1]\ncountry=[KR]\npublic_ip=[203.0.113.5]\n"
                             "adn_userauth=[user\tsecret]\n";
    EXPECT_EQ(parse_in_fresh_dir("10.9.0.1:KR:203.0.113.5:user:secret").out, want);
    EXPECT_EQ(parse_in_fresh_dir("10.9.0.1::KR:203.0.113.5:user:secret:x:y").out, want);

    // A trailing line end belongs to the last field.
    Outcome nl = parse_in_fresh_dir("10.9.0.1:KR:203.0.113.5:user:secret\n");
    EXPECT_NE(nl.out.find("adn_userauth=[user\tsecret\n]"), std::string::npos) << nl.out;

    // Old files are replaced whole.
    Outcome again = parse_in_fresh_dir("10.9.0.1:KR:203.0.113.5:user:secret", [] {
        put(VELINIT_DIR "country", "a longer old country\n");
    });
    EXPECT_EQ(again.out, want);
}

TEST(ParseInfo, RejectionsWriteNothing)
{
    NEED_ROOT();
    struct Case {
        const char *body;
        const char *message;
    } cases[] = {
        {"10.9.0.1:KR", "[ERROR] Unexpected body: 2\n"},
        {"", "[ERROR] Unexpected body: 0\n"},
        {":::", "[ERROR] Unexpected body: 0\n"},
        {"10.9.0.1:KOR:203.0.113.5:u:a", "[ERROR] Wrong GeoIP country code format: KOR\n"},
        {"10.9.0.1:K:203.0.113.5:u:a", "[ERROR] Wrong GeoIP country code format: K\n"},
        {"255.255.255.255:KR:203.0.113.5:u:a",
         "[ERROR] Wrong IP address format: 255.255.255.255\n"},
        {"node:KR:203.0.113.5:u:a", "[ERROR] Wrong IP address format: node\n"},
        {"10.9.0.1:KR:203.0.113.x:u:a",
         "[ERROR] Wrong IP address format for public IP: 203.0.113.x\n"},
        // What inet_addr lets through but veld refuses in its node files.
        {"10.9.0.1 ;reboot:KR:203.0.113.5:u:a",
         "[ERROR] Wrong IP address format: 10.9.0.1 ;reboot\n"},
        {"10.9.0.1 :KR:203.0.113.5:u:a", "[ERROR] Wrong IP address format: 10.9.0.1 \n"},
        {"10.9.0.1:KR:203.0.113.5\n", "[ERROR] Wrong IP address format for public IP: "
                                      "203.0.113.5\n\n"},
        {"10.9.0.1:KR:\t203.0.113.5:u:a",
         "[ERROR] Wrong IP address format for public IP: \t203.0.113.5\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse_in_fresh_dir(c.body).out,
                  std::string(c.message) + "result=-1\n" + untouched)
            << c.body;
}

TEST(ParseInfo, MissingAdnAndWriteFailure)
{
    NEED_ROOT();
    EXPECT_EQ(parse_in_fresh_dir("10.9.0.1:KR:203.0.113.5").out,
              "[WARN] No authentication information for ADN mode\nresult=-1\n"
              "varnishd_listen_address=[10.254.254.1:7878,10.9.0.1:8080,10.9.0.1:8081]\n"
              "v2_tapip=[10.9.0.1]\ncountry=[KR]\npublic_ip=[203.0.113.5]\n"
              "adn_userauth=[<missing>]\n");
    EXPECT_EQ(parse_in_fresh_dir("10.9.0.1:KR:203.0.113.5:user")
                  .out.rfind("[WARN] No authentication information for ADN mode\nresult=-1\n", 0),
              0u);

    // A write that fails stops at once; what was written stays.
    Outcome r = parse_in_fresh_dir("10.9.0.1:KR:203.0.113.5:u:a",
                                   [] { mkdir(VELINIT_DIR "v2_tapip", 0755); });
    EXPECT_EQ(r.out, "[ERROR] fopen(3) for /etc/velkarn-server/v2_tapip failed: 21 Is a directory\n"
                     "[ERROR] writeIntoFile() faield\nresult=-1\n"
                     "varnishd_listen_address=[10.254.254.1:7878,10.9.0.1:8080,10.9.0.1:8081]\n"
                     "v2_tapip=[]\ncountry=[<missing>]\npublic_ip=[<missing>]\n"
                     "adn_userauth=[<missing>]\n");
}

} // namespace
