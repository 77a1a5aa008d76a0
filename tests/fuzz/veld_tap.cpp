// One frame from the TAP device, of any length and content, switched to the
// sessions of a UDP, a TCP and an ICMP client (or to all of them), with the
// send-side accounting and the usage records it leads to.
#include "veld_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace veld_fuzz;
    begin();
    struct sockaddr_in a = peer(0), b = peer(1), c = peer(7);
    uint8_t hello[42] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 2, 0, 0, 0, 0, 1, 8, 6};
    udp_rx(hello, sizeof hello, reinterpret_cast<struct sockaddr *>(&a), sizeof a);
    tcpconn *tc = tcp_new(-1, reinterpret_cast<struct sockaddr *>(&b), sizeof b);
    hello[11] = 2;
    sess_rx(reinterpret_cast<struct sockaddr *>(&b), sizeof b, hello, sizeof hello, SESS_TCP, tc,
            nullptr);
    hello[11] = 3;
    icmp_origin io = {htons(7), htons(9)};
    sess_rx(reinterpret_cast<struct sockaddr *>(&c), sizeof c, hello, sizeof hello, SESS_ICMP, &io,
            nullptr);
    VAS_ASSERT(sesst.n_sess == 3);

    // A read from the TAP device yields at most 4096 bytes.
    static uint8_t buf[DGRAM_BUF_SIZE];
    size_t n = size < sizeof buf ? size : sizeof buf;
    std::memcpy(buf, data, n);
    tap_input(buf, static_cast<ssize_t>(n));
    end();
    return 0;
}
