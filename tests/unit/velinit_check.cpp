// velinit's system checks. Each check runs in a child (they end the process);
// the /proc files and iptables are replaced by bind mounts inside a private
// mount namespace, so the host's settings are neither read nor changed.
#include "velinit_check.h"
#include "test_util.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
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

// Runs a check in a child with a private mount namespace (when root, so that
// cover() can bind files over the host's); "passed" follows a check that
// returned.
Outcome child(const std::function<void()> &fn)
{
    return test_util::run_in_child([&] {
        if (geteuid() == 0 && (unshare(CLONE_NEWNS) != 0 ||
                               mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0))
            return 99;
        fn();
        std::printf("passed\n");
        return 0;
    });
}

// A file of ours shown at target (inside the child's namespace only).
void cover(const char *target, const std::string &content, mode_t mode = 0644)
{
    char tmpl[] = "/tmp/velinit_check_XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0 || write(fd, content.data(), content.size()) != (ssize_t)content.size())
        _exit(98);
    fchmod(fd, mode);
    close(fd);
    if (mount(tmpl, target, nullptr, MS_BIND, nullptr) != 0)
        _exit(97);
    unlink(tmpl); // the mount keeps it alive
}

#define NEED_ROOT()                                                                                \
    do {                                                                                           \
        if (geteuid() != 0)                                                                        \
            GTEST_SKIP() << "needs root for a private mount namespace";                            \
    } while (0)

const std::string forward_msg = "[ERROR] IPv4 forwarding feature disabled.\n"
                                "        Please run `/sbin/sysctl net.ipv4.ip_forward=1' command\n"
                                "        with root permission to be enable.\n";
const std::string icmp_msg =
    "[ERROR] 'ICMP echo ignore all' feature disabled.\n"
    "        Please run `/sbin/sysctl net.ipv4.icmp_echo_ignore_all=1' command\n"
    "        with root permission to be enable.\n";
const std::string nat_msg =
    "[ERROR] Couldn't find NAT setting from iptables(8).\n"
    "        Please run the following command with root permission.\n"
    "\n"
    "            # /sbin/iptables -t nat -A POSTROUTING -o eth0 -j MASQUERADE -s 10.252.0.0/14\n";

TEST(NumStrtol, Conversions)
{
    Outcome r = child([] {
        long v = -7;
        char *end;
        for (const char *text : {"1\n", " -42x", "on\n", "99999999999999999999", ""}) {
            int res = NUM_strtol(&v, text, &end, 10);
            std::printf("%d %ld\n", res, v);
            v = -7;
        }
    });
    EXPECT_EQ(r.out, "0 1\n"
                     "0 -42\n"
                     "[WARN] No digits were found\n-1 -7\n"
                     "[WARN] NUM_strtol: strtol failed, 34 Numerical result out of range\n-1 -7\n"
                     "[WARN] No digits were found\n-1 -7\n"
                     "passed\n");
}

TEST(ProcChecks, IpForward)
{
    NEED_ROOT();
    const char *path = "/proc/sys/net/ipv4/ip_forward";
    struct Case {
        const char *content;
        int status;
        std::string out;
    } cases[] = {
        {"1\n", 0, "passed\n"},
        {"2\n", 0, "passed\n"},
        {"0\n", 1, forward_msg},
        {"", 1,
         "[ERROR] fread(3) error: no content\n"
         "[ERROR] Failed to read /proc/sys/net/ipv4/ip_forward: 0 Success\n"},
        {"yes\n", 1, "[WARN] No digits were found\n"},
    };
    for (const auto &c : cases) {
        for (auto check : {checkIPv4Forward, checkIPv4ForwardFromProc}) {
            Outcome r = child([&] {
                cover(path, c.content);
                check();
            });
            EXPECT_EQ(r.status, c.status) << c.content;
            EXPECT_EQ(r.out, c.out) << c.content;
        }
    }
}

TEST(ProcChecks, IcmpEchoIgnoreAll)
{
    NEED_ROOT();
    const char *path = "/proc/sys/net/ipv4/icmp_echo_ignore_all";
    for (auto [content, ok] : {std::pair{"1\n", true}, {"0\n", false}, {"2\n", false}}) {
        Outcome r = child([&] {
            cover(path, content);
            checkIPv4IcmpEchoIgnoreAllFromProc();
        });
        EXPECT_EQ(r.status, ok ? 0 : 1) << content;
        EXPECT_EQ(r.out, ok ? "passed\n" : icmp_msg) << content;
    }
    Outcome big = child([&] {
        cover(path, std::string(9000, '1'));
        checkIPv4IcmpEchoIgnoreAllFromProc();
    });
    EXPECT_EQ(big.status, 1);
    EXPECT_EQ(big.out.rfind("[ERROR] fread(3) error: too long content\n[ERROR] Failed to read "
                            "/proc/sys/net/ipv4/icmp_echo_ignore_all: ",
                            0),
              0u)
        << big.out;
}

TEST(NatCheck, AnyMasqueradeCounts)
{
    NEED_ROOT();
    if (access("/sbin/iptables", F_OK) != 0)
        GTEST_SKIP() << "no /sbin/iptables to stand in for";
    auto listing = [](const std::string &text) {
        return "#!/bin/sh\n[ \"$*\" = \"-L -n -v -t nat\" ] || exit 3\ncat <<'EOF'\n" + text +
               "\nEOF\nexit 1\n";
    };
    const std::string head = "Chain POSTROUTING (policy ACCEPT 0 packets, 0 bytes)\n"
                             " pkts bytes target     prot opt in     out     source  destination\n";
    struct Case {
        std::string text;
        bool ok;
    } cases[] = {
        {head + "    0     0 MASQUERADE  all  --  *      eth0    10.252.0.0/14  0.0.0.0/0", true},
        // Another range still counts.
        {head + "    0     0 MASQUERADE  all  --  *      eth1    192.168.0.0/16 0.0.0.0/0", true},
        {head + "    0     0 SNAT       all  --  *      eth0    10.252.0.0/14  0.0.0.0/0", false},
        {"", false},
        // Found in a later piece of a line longer than the line buffer.
        {std::string(10000, 'x') + " MASQUERADE", true},
    };
    for (const auto &c : cases) {
        Outcome r = child([&] {
            cover("/sbin/iptables", listing(c.text), 0755);
            checkNAT();
        });
        EXPECT_EQ(r.status, c.ok ? 0 : 1) << c.text.substr(0, 200);
        EXPECT_EQ(r.out, c.ok ? "passed\n" : nat_msg);
    }
}

TEST(RootCheck, EffectiveUserMustBeRoot)
{
    NEED_ROOT();
    EXPECT_EQ(child(checkRootPermission).out, "passed\n");
    Outcome r = child([] {
        if (setresuid(65534, 65534, 65534) != 0)
            _exit(96);
        checkRootPermission();
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "[ERROR] Required to be executed with root permission.\n");
}

} // namespace
