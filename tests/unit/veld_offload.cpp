// veld with the offloads: a TCP segment read from the TAP device reaches a
// client as the frames the kernel would have cut, each counted as if alone,
// and runs of datagrams to one client leave as one UDP_SEGMENT message each.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/udp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "lib_vnet_kernel.h"
#include "veld_dgram.h"
#include "veld_sess.h"
#include "veld_state.h"
#include "veld_tap.h"
#include "veld_test_util.h"
#include "vnet.h"

using namespace veld_test;

namespace
{
using bytes = std::vector<uint8_t>;

bytes unhex(const char *s)
{
    bytes b;
    for (; s[0] != '\0' && s[1] != '\0'; s += 2)
        b.push_back(static_cast<uint8_t>(std::stoi(std::string(s, 2), nullptr, 16)));
    return b;
}

// What the fake sendmmsg(2) took: per message its port, UDP_SEGMENT size
// (0: none) and datagrams.
struct msg_seen {
    uint16_t port;
    uint16_t gso;
    std::vector<bytes> dgrams;
};
std::vector<msg_seen> seen;
int fail_errno; // the first call fails with it once, when set

int fake_sendmmsg(int, mmsghdr *m, unsigned n, int)
{
    if (fail_errno != 0) {
        errno = fail_errno;
        fail_errno = 0;
        return -1;
    }
    for (unsigned k = 0; k < n; k++) {
        msghdr &h = m[k].msg_hdr;
        msg_seen s{ntohs(static_cast<sockaddr_in *>(h.msg_name)->sin_port), 0, {}};
        for (cmsghdr *c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c))
            if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_SEGMENT)
                std::memcpy(&s.gso, CMSG_DATA(c), 2);
        size_t total = 0;
        for (size_t i = 0; i < h.msg_iovlen; i++) {
            auto *b = static_cast<uint8_t *>(h.msg_iov[i].iov_base);
            s.dgrams.emplace_back(b, b + h.msg_iov[i].iov_len);
            total += h.msg_iov[i].iov_len;
        }
        m[k].msg_len = static_cast<unsigned>(total);
        seen.push_back(s);
    }
    return static_cast<int>(n);
}

// One coalesced run waiting on the UDP socket, as UDP_GRO hands it over.
bytes gro_run;
uint16_t gro_size;
sockaddr_in gro_from;

int fake_recvmmsg(int, mmsghdr *m, unsigned, int)
{
    if (gro_run.empty()) {
        errno = EAGAIN;
        return -1;
    }
    msghdr &h = m[0].msg_hdr;
    std::memcpy(h.msg_iov[0].iov_base, gro_run.data(), gro_run.size());
    m[0].msg_len = static_cast<unsigned>(gro_run.size());
    std::memcpy(h.msg_name, &gro_from, sizeof gro_from);
    h.msg_namelen = sizeof gro_from;
    cmsghdr *c = CMSG_FIRSTHDR(&h);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_GRO;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    int v = gro_size;
    std::memcpy(CMSG_DATA(c), &v, sizeof v);
    h.msg_controllen = CMSG_SPACE(sizeof(int));
    gro_run.clear();
    return 1;
}

bytes tap_read_data;
ssize_t fake_tap_read(void *buf, size_t size)
{
    if (tap_read_data.empty()) {
        errno = EAGAIN;
        return -1;
    }
    size_t n = std::min(size, tap_read_data.size());
    std::memcpy(buf, tap_read_data.data(), n);
    tap_read_data.clear();
    return static_cast<ssize_t>(n);
}

class Offload : public VeldTest
{
  protected:
    sockaddr_in client = ip4("198.51.100.20", 3333);
    int fd = -1;
    dgram_mmsg_f saved_send = nullptr;
    dgram_mmsg_f saved_recv = nullptr;
    tap_read_f saved_read = nullptr;

    void SetUp() override
    {
        VeldTest::SetUp();
        seen.clear();
        fail_errno = 0;
        // A real socket, so that the kernel says whether it has the offloads.
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(fd, 0);
        veld.udp_fd = fd;
        saved_send = dgram_sendmmsg;
        saved_recv = dgram_recvmmsg;
        dgram_recvmmsg = fake_recvmmsg;
        saved_read = tap_read_fn;
        dgram_sendmmsg = fake_sendmmsg;
        tap_read_fn = fake_tap_read;
    }
    void TearDown() override
    {
        dgram_batching(false);
        (void)dgram_offload_setup(false);
        dgram_sendmmsg = saved_send;
        dgram_recvmmsg = saved_recv;
        tap_read_fn = saved_read;
        tapst.vnet = false;
        close(fd);
        veld.udp_fd = -1;
        VeldTest::TearDown();
    }
    sess *udp_session(uint8_t mac, uint16_t port)
    {
        client.sin_port = htons(port);
        bytes f = eth(42, 0x0806, nullptr, nullptr, mac);
        udp_rx(f.data(), f.size(), reinterpret_cast<sockaddr *>(&client), sizeof client);
        return sesst.sesslist_tail;
    }
};

TEST_F(Offload, RunsToOneClientLeaveAsOneMessageAndCountPerFrame)
{
    if (std::string(dgram_offload_setup(true)) != "UDP_SEGMENT and UDP_GRO on")
        GTEST_SKIP() << "the kernel has no UDP_SEGMENT";
    sess *u1 = udp_session(1, 3333);
    sess *u2 = udp_session(2, 3334);
    uint64_t tx1 = u1->peer_usage.tx, tx2 = u2->peer_usage.tx;
    bytes big = eth(1000, 0x0800, "203.0.113.50", "10.8.0.2");
    bytes small = eth(500, 0x0800, "203.0.113.50", "10.8.0.2");
    dgram_batching(true);
    for (sess *sp : {u1, u1, u1})
        udp_tx(sp, big.data(), big.size());
    udp_tx(u1, small.data(), small.size()); // the shorter one ends the run
    udp_tx(u1, big.data(), big.size());
    udp_tx(u2, big.data(), big.size());
    udp_tx(u2, big.data(), big.size());
    dgram_flush();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ((std::vector<uint16_t>{seen[0].port, seen[1].port, seen[2].port}),
              (std::vector<uint16_t>{3333, 3333, 3334}));
    EXPECT_EQ((std::vector<uint16_t>{seen[0].gso, seen[1].gso, seen[2].gso}),
              (std::vector<uint16_t>{1000, 0, 1000}));
    EXPECT_EQ(seen[0].dgrams, (std::vector<bytes>{big, big, big, small}));
    EXPECT_EQ(seen[1].dgrams, std::vector<bytes>{big});
    EXPECT_EQ(seen[2].dgrams, (std::vector<bytes>{big, big}));
    EXPECT_EQ(u1->peer_usage.tx, tx1 + 4 * (1000 + 28) + 500 + 28);
    EXPECT_EQ(u2->peer_usage.tx, tx2 + 2 * (1000 + 28));

    // A run one client's path refuses (EINVAL: above its MTU) goes out
    // datagram by datagram; the next run is one message again.
    seen.clear();
    fail_errno = EINVAL;
    udp_tx(u1, big.data(), big.size());
    udp_tx(u1, big.data(), big.size());
    dgram_flush();
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_FALSE(logged("UDP_SEGMENT send failed"));
    seen.clear();
    udp_tx(u1, big.data(), big.size());
    udp_tx(u1, big.data(), big.size());
    dgram_flush();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].gso, 1000);
    EXPECT_EQ(u1->peer_usage.tx, tx1 + 8 * (1000 + 28) + 500 + 28);

    // A kernel that refuses the offload: the run goes out datagram by
    // datagram, once, and the offload stays off.
    seen.clear();
    fail_errno = EIO;
    for (int i = 0; i < 3; i++)
        udp_tx(u2, big.data(), big.size());
    dgram_flush();
    EXPECT_TRUE(logged("[WARN] UDP_SEGMENT send failed: 5 "));
    ASSERT_EQ(seen.size(), 3u);
    for (const auto &s : seen)
        EXPECT_EQ(s.gso, 0);
    EXPECT_EQ(u2->peer_usage.tx, tx2 + 5 * (1000 + 28));
    seen.clear();
    udp_tx(u2, big.data(), big.size());
    udp_tx(u2, big.data(), big.size());
    dgram_flush();
    EXPECT_EQ(seen.size(), 2u);
}

// A client's run received in one buffer is cut into its datagrams, each
// handled and counted as if it had come alone.
TEST_F(Offload, ACoalescedRunIsHandledDatagramByDatagram)
{
    if (std::string(dgram_offload_setup(true)) != "UDP_SEGMENT and UDP_GRO on")
        GTEST_SKIP() << "the kernel has no UDP_GRO";
    sess *sp = udp_session(1, 3333);
    uint64_t peer_rx = sp->peer_usage.rx;
    std::vector<bytes> frames = {eth(700, 0x0800, "10.8.0.2", "203.0.113.50"),
                                 eth(700, 0x0800, "10.8.0.2", "203.0.113.51"),
                                 eth(300, 0x0800, "10.8.0.2", "203.0.113.50")};
    gro_run.clear();
    for (const auto &f : frames)
        gro_run.insert(gro_run.end(), f.begin(), f.end());
    gro_size = 700;
    gro_from = client;
    tap_out.clear();
    EXPECT_EQ(udp_rx_batch(), 1);
    EXPECT_EQ(tap_out, frames);
    EXPECT_EQ(sp->peer_usage.rx, peer_rx + 700 + 28 + 700 + 28 + 300 + 28);
    EXPECT_EQ(sp->n_ip_usage, 2);
}

// A segment from the TAP device: the client gets the frames the kernel cuts
// from it, and the usage counts them as if each had been read alone.
TEST_F(Offload, SegmentFromTheTapReachesTheClientAsTheKernelsFrames)
{
    const vnet_kernel_case &kc = vnet_kernel_cases[2]; // four frames
    bytes hdr = unhex(kc.hdr), seg = unhex(kc.segment);
    std::vector<bytes> want;
    for (const char *f : kc.frames)
        if (f != nullptr)
            want.push_back(unhex(f));
    ASSERT_EQ(want.size(), 4u);
    // The segment goes to 02:00:00:00:00:10, from 10.77.0.1.
    sess *sp = udp_session(0x10, 3333);
    uint64_t peer_tx = sp->peer_usage.tx;
    tapst.vnet = true;
    tap_read_data = hdr;
    tap_read_data.insert(tap_read_data.end(), seg.begin(), seg.end());
    sends.clear();
    tap_rx_batch();
    std::vector<bytes> got;
    for (const auto &s : sends)
        got.push_back(s.bytes);
    EXPECT_EQ(got, want);
    size_t counted = 0;
    for (const auto &f : want)
        counted += f.size() + 28;
    EXPECT_EQ(sp->peer_usage.tx, peer_tx + counted);
    ASSERT_EQ(sp->n_ip_usage, 1);
    EXPECT_EQ(sp->ip_usage[0].addr, inet_addr("10.77.0.1"));
    EXPECT_EQ(sp->ip_usage[0].rx, counted);

    // One the kernel could not have handed over is dropped with a line.
    logs.clear();
    hdr[1] = VNET_GSO_UDP;
    tap_read_data = hdr;
    tap_read_data.insert(tap_read_data.end(), seg.begin(), seg.end());
    sends.clear();
    tap_rx_batch();
    EXPECT_TRUE(sends.empty());
    EXPECT_TRUE(logged("[ERROR] Segment from tap(4) cannot be cut (gso type 3 size 100 len 355)"));
}
} // namespace
