// Node files and TAP configuration. The fixed paths under /etc are served by a
// tmpfs in a private mount namespace of a child process, so the host's files
// are never touched.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "test_util.h"
#include "veld_tap.h"
#include "veld_test_util.h"
#include "vlog.h"

using namespace veld_test;

namespace
{
std::vector<std::string> cmds;
int fake_system(const char *cmd)
{
    cmds.emplace_back(cmd);
    return 0;
}

std::string tmpfile_with(const std::string &content)
{
    char path[] = "/tmp/veld_tap_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
    return path;
}

// Reads path with tap_read_ipfile; the log line it wrote, or "" on success.
std::string read_result(const std::string &content, std::string *text = nullptr)
{
    std::string path = tmpfile_with(content);
    char buf[TAP_CMD_SIZE];
    logs.clear();
    VLOG_SetSink(sink);
    int r = tap_read_ipfile(path.c_str(), buf, sizeof buf);
    VLOG_SetSink(nullptr);
    unlink(path.c_str());
    if (r == 0 && text != nullptr)
        *text = buf;
    EXPECT_EQ(r == 0, logs.empty());
    return logs.empty() ? "" : logs[0];
}

// Serves /etc from an empty tmpfs that only this process sees, with the
// node's configuration folder in it.
bool private_etc()
{
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/etc", "tmpfs", 0, nullptr) != 0)
        return false;
    mkdir("/etc/velkarn-server", 0755);
    return true;
}

void put(const char *path, const char *text)
{
    FILE *fp = fopen(path, "w");
    fputs(text, fp);
    fclose(fp);
}
} // namespace

TEST(TapFiles, CharacterRule)
{
    std::string text;
    EXPECT_EQ(read_result("10.8.0.1", &text), "");
    EXPECT_EQ(text, "10.8.0.1");
    EXPECT_EQ(read_result("1.2.3.4.5", &text), ""); // digits and dots only; passed on as is
    EXPECT_EQ(text, "1.2.3.4.5");
    EXPECT_EQ(read_result("10.8.0.1\n"), "[ERROR] Wrong IPv4 format (10.8.0.1\n).");
    EXPECT_EQ(read_result("10.8.0.1 "), "[ERROR] Wrong IPv4 format (10.8.0.1 ).");
    EXPECT_EQ(read_result(std::string("1.2\0x", 5)), "[ERROR] Wrong IPv4 format (1.2).");
    EXPECT_NE(read_result("").find("(no content)"), std::string::npos);

    logs.clear();
    VLOG_SetSink(sink);
    char buf[64];
    EXPECT_EQ(tap_read_ipfile("/nonexistent/veld/file", buf, sizeof buf), -1);
    VLOG_SetSink(nullptr);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].rfind("[ERROR] fopen(3) for /nonexistent/veld/file failed: 2 ", 0), 0u);
}

TEST(TapFiles, PublicAddress)
{
    uint32_t ip = 0;
    VLOG_SetSink(sink);
    logs.clear();
    EXPECT_EQ(tap_parse_public_ip("203.0.113.9", &ip), 0);
    EXPECT_EQ(ip, htonl(0xcb007109u));
    // The traditional parser's shorthand forms are part of what is accepted.
    EXPECT_EQ(tap_parse_public_ip("127.1", &ip), 0);
    EXPECT_EQ(ip, htonl(0x7f000001u));
    EXPECT_EQ(tap_parse_public_ip("1.2.3.4.5", &ip), -1);
    EXPECT_EQ(tap_parse_public_ip("255.255.255.255", &ip), -1);
    VLOG_SetSink(nullptr);
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0], "[ERROR] Failed to parse the public IP: 1.2.3.4.5");
    EXPECT_EQ(logs[1], "[ERROR] Failed to parse the public IP: 255.255.255.255");
}

TEST(TapDev, CommandsFromNodeFiles)
{
    auto r = test_util::run_in_child([] {
        if (!private_etc())
            return 77;
        put(TAP_IP_FILE, "10.8.0.1");
        put(PUBLIC_IP_FILE, "203.0.113.9");
        snprintf(tapst.tapname, sizeof tapst.tapname, "tap7");
        tap_system_fn = fake_system;
        setupTapDev();
        readPublicIP();
        for (auto &c : cmds)
            std::printf("%s\n", c.c_str());
        std::printf("%d", tapst.public_ip == htonl(0xcb007109u));
        return 0;
    });
    if (r.status == 77)
        GTEST_SKIP() << "no private mount namespace here";
    ASSERT_EQ(r.status, 0);
    const std::string &out = r.out;
    EXPECT_EQ(out, "/sbin/ip link set tap7 up mtu 1450\n"
                   "/sbin/ifconfig tap7 inet 10.8.0.1 netmask 255.255.240.0 up\n"
                   "/sbin/ifconfig tap7:0 inet 10.254.254.1 netmask 255.255.0.0\n"
                   "1");
}

TEST(TapDev, FailingCommandStops)
{
    snprintf(tapst.tapname, sizeof tapst.tapname, "tap7");
    EXPECT_DEATH(
        {
            tap_system_fn = [](const char *) { return 256; };
            if (!private_etc())
                abort();
            put(TAP_IP_FILE, "10.8.0.1");
            setupTapDev();
        },
        "ret == 0");
    EXPECT_EXIT(
        {
            if (!private_etc())
                abort();
            readPublicIP();
        },
        ::testing::ExitedWithCode(1), "");
}

namespace
{
// What the fake TAP device gives, one per read: a frame, or an errno.
std::vector<std::pair<std::vector<uint8_t>, int>> tap_in;

ssize_t fake_tap_read(void *buf, size_t size)
{
    if (tap_in.empty() || tap_in[0].second != 0) {
        errno = tap_in.empty() ? EAGAIN : tap_in[0].second;
        if (!tap_in.empty())
            tap_in.erase(tap_in.begin());
        return -1;
    }
    size_t n = std::min(size, tap_in[0].first.size());
    std::memcpy(buf, tap_in[0].first.data(), n);
    tap_in.erase(tap_in.begin());
    return static_cast<ssize_t>(n);
}
} // namespace

// The TAP device is read until it is empty, a read fails or the bound is
// reached; a frame of a bad length is skipped on its own.
TEST_F(VeldTest, TapBatchReadsUntilEmptyAndSkipsBadLengths)
{
    tap_read_f saved = tap_read_fn;
    tap_read_fn = fake_tap_read;
    sockaddr_in c = ip4("198.51.100.30", 5555);
    auto hello = eth(60, 0x0806, nullptr, nullptr, 0x99), to_client = eth(60, 0x0800);
    sess_rx(reinterpret_cast<sockaddr *>(&c), sizeof c, hello.data(), hello.size(), SESS_UDP,
            nullptr, nullptr);
    sends.clear();
    auto bcast = to_client;
    std::fill(bcast.begin(), bcast.begin() + 6, 0xff);
    tap_in = {{to_client, 0}, {std::vector<uint8_t>(1501, 2), 0}, {bcast, 0}, {to_client, 0}};
    EXPECT_EQ(tap_rx_batch(), 5u); // the last read finds it empty
    EXPECT_EQ(sends.size(), 3u);
    EXPECT_EQ(logs.back(), "[ERROR] VELEC_00149: wrong len 1501 from tap(4). Skipped a frame");

    // A failing read is logged and ends the batch; the next one goes on.
    tap_in = {{to_client, 0}, {{}, EIO}, {to_client, 0}};
    EXPECT_EQ(tap_rx_batch(), 2u);
    EXPECT_EQ(logs.back(), "[ERROR] read(2) error for tap(4): 5 " + std::string(strerror(EIO)));
    EXPECT_EQ(tap_rx_batch(), 2u);
    EXPECT_EQ(sends.size(), 5u);

    tap_in.assign(100, {to_client, 0});
    EXPECT_EQ(tap_rx_batch(), TAP_BATCH);
    EXPECT_EQ(tap_in.size(), 100u - TAP_BATCH);
    tap_read_fn = saved;
}
