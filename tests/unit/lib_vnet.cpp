#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "lib_vnet_kernel.h"
#include "vnet.h"

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

void collect(void *arg, const uint8_t *frame, size_t len)
{
    static_cast<std::vector<bytes> *>(arg)->emplace_back(frame, frame + len);
}

std::vector<bytes> segment(const vnet_hdr &h, bytes frame, int *ret, size_t scratch_size = 65536)
{
    std::vector<bytes> out;
    bytes scratch(scratch_size);
    *ret =
        VNET_Segment(h, frame.data(), frame.size(), scratch.data(), scratch.size(), collect, &out);
    return out;
}

// The segmenter cuts exactly as the kernel does: every frame byte for byte
// (lengths, identifiers, sequence numbers, flags, both checksums).
TEST(vnet, cuts_segments_as_the_kernel_does)
{
    for (const auto &c : vnet_kernel_cases) {
        SCOPED_TRACE(c.name);
        bytes hb = unhex(c.hdr);
        vnet_hdr h;
        ASSERT_EQ(VNET_ParseHdr(hb.data(), hb.size(), &h), 0);
        std::vector<bytes> want;
        for (const char *f : c.frames)
            if (f != nullptr)
                want.push_back(unhex(f));
        int ret;
        std::vector<bytes> got = segment(h, unhex(c.segment), &ret);
        EXPECT_EQ(ret, static_cast<int>(want.size()));
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < want.size(); i++)
            EXPECT_EQ(got[i], want[i]) << "frame " << i;
    }
}

// What cannot be cut is refused whole: nothing is handed over.
TEST(vnet, refuses_what_it_cannot_cut)
{
    const auto &base = vnet_kernel_cases[0];
    bytes hb = unhex(base.hdr);
    vnet_hdr h0;
    ASSERT_EQ(VNET_ParseHdr(hb.data(), hb.size(), &h0), 0);
    bytes seg = unhex(base.segment);
    struct {
        const char *name;
        void (*change)(vnet_hdr &h, bytes &f);
        size_t scratch;
    } cases[] = {
        {"UDP fragmentation offload", [](vnet_hdr &h, bytes &) { h.gso_type = VNET_GSO_UDP; },
         65536},
        {"UDP segmentation", [](vnet_hdr &h, bytes &) { h.gso_type = VNET_GSO_UDP_L4; }, 65536},
        {"TCP over IPv6", [](vnet_hdr &h, bytes &) { h.gso_type = VNET_GSO_TCPV6; }, 65536},
        {"segment size 0", [](vnet_hdr &h, bytes &) { h.gso_size = 0; }, 65536},
        {"not IPv4", [](vnet_hdr &, bytes &f) { f[12] = 0x86, f[13] = 0xdd; }, 65536},
        {"IP version 6", [](vnet_hdr &, bytes &f) { f[14] = 0x65; }, 65536},
        {"IP header too short", [](vnet_hdr &, bytes &f) { f[14] = 0x44; }, 65536},
        {"not TCP", [](vnet_hdr &, bytes &f) { f[23] = 17; }, 65536},
        {"TCP header too short", [](vnet_hdr &, bytes &f) { f[46] = 0x40; }, 65536},
        {"TCP header past the end", [](vnet_hdr &, bytes &f) { f[46] = 0xf0, f.resize(80); },
         65536},
        {"cut in the TCP header", [](vnet_hdr &, bytes &f) { f.resize(50); }, 65536},
        {"cut in the IP header", [](vnet_hdr &, bytes &f) { f.resize(30); }, 65536},
        {"checksum start elsewhere", [](vnet_hdr &h, bytes &) { h.csum_start = 38; }, 65536},
        {"scratch smaller than a frame", [](vnet_hdr &, bytes &) {}, 1053},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        vnet_hdr h = h0;
        bytes f = seg;
        c.change(h, f);
        int ret;
        errno = 0;
        EXPECT_TRUE(segment(h, f, &ret, c.scratch).empty());
        EXPECT_EQ(ret, -1);
        EXPECT_EQ(errno, EINVAL);
    }
    int ret;
    EXPECT_EQ(segment(h0, seg, &ret, 1054).size(), 3u); // exactly one frame's room is enough
}

TEST(vnet, plain_frames_pass_with_their_checksum_completed_when_asked)
{
    bytes f(60, 0xab);
    vnet_hdr h{};
    int ret;
    std::vector<bytes> got = segment(h, f, &ret);
    ASSERT_EQ(ret, 1);
    EXPECT_EQ(got[0], f);

    // The sum of the whole range is 0xffff, so the field gets 0xffff, not 0.
    bytes z = {0xff, 0xff, 0x00, 0x00};
    h.flags = VNET_F_NEEDS_CSUM;
    h.csum_start = 0;
    h.csum_offset = 2;
    got = segment(h, z, &ret);
    ASSERT_EQ(ret, 1);
    EXPECT_EQ(got[0], (bytes{0xff, 0xff, 0xff, 0xff}));

    for (auto [start, off] : {std::pair{5, 0}, {0, 3}, {3, 0}, {60, 0}}) {
        h.csum_start = static_cast<uint16_t>(start);
        h.csum_offset = static_cast<uint16_t>(off);
        EXPECT_TRUE(segment(h, z, &ret).empty());
        EXPECT_EQ(ret, -1) << start << "+" << off;
    }
}

TEST(vnet, header_and_checksum_helpers)
{
    uint8_t raw[VNET_HDR_LEN] = {1, 0x81, 0x36, 0, 0xe8, 3, 0x22, 0, 0x10, 0};
    vnet_hdr h;
    ASSERT_EQ(VNET_ParseHdr(raw, sizeof raw, &h), 0);
    EXPECT_EQ(h.flags, VNET_F_NEEDS_CSUM);
    EXPECT_EQ(h.gso_type, VNET_GSO_TCPV4 | VNET_GSO_ECN);
    EXPECT_EQ(h.hdr_len, 54);
    EXPECT_EQ(h.gso_size, 1000);
    EXPECT_EQ(h.csum_start, 34);
    EXPECT_EQ(h.csum_offset, 16);
    EXPECT_EQ(VNET_ParseHdr(raw, sizeof raw - 1, &h), -1);
    VNET_PlainHdr(raw);
    EXPECT_EQ(bytes(raw, raw + sizeof raw), bytes(VNET_HDR_LEN, 0));

    // RFC 1071's example: the words 0001 f203 f4f5 f6f7 sum to 0xddf2; an odd
    // last byte counts as its high half.
    const uint8_t words[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(VNET_CsumFold(VNET_CsumAdd(0, words, sizeof words)), static_cast<uint16_t>(~0xddf2));
    const uint8_t odd[] = {0x12};
    EXPECT_EQ(VNET_CsumAdd(0, odd, 1), 0x1200u);
    // Sums carried over many calls fold the same as one.
    uint32_t s = 0;
    for (int i = 0; i < 100000; i++)
        s = VNET_CsumAdd(s, words, sizeof words);
    bytes many;
    for (int i = 0; i < 100000; i++)
        many.insert(many.end(), words, words + sizeof words);
    EXPECT_EQ(VNET_CsumFold(s), VNET_CsumFold(VNET_CsumAdd(0, many.data(), many.size())));

    // The wide sum folds as the plain word-by-word sum does, at every length
    // and alignment, carries and all-ones data included.
    auto plain = [](uint32_t sum, const uint8_t *p, size_t len) {
        uint64_t t = sum;
        for (; len > 1; p += 2, len -= 2)
            t += static_cast<uint32_t>(p[0] << 8 | p[1]);
        if (len == 1)
            t += static_cast<uint32_t>(p[0] << 8);
        while (t >> 32)
            t = (t & 0xffffffffu) + (t >> 32);
        return static_cast<uint32_t>(t);
    };
    bytes data(1600);
    uint32_t seed = 12345;
    for (int fill = 0; fill < 3; fill++) {
        for (auto &b : data) {
            seed = seed * 1103515245u + 12345u;
            b = fill == 0 ? static_cast<uint8_t>(seed >> 16) : fill == 1 ? 0xff : 0;
        }
        for (size_t off = 0; off < 8; off++)
            for (size_t len : {0, 1, 2, 3, 7, 8, 9, 15, 20, 60, 1450, 1591})
                for (uint32_t start : {0u, 0x1234u, 0xffffffffu})
                    EXPECT_EQ(VNET_CsumFold(VNET_CsumAdd(start, data.data() + off, len)),
                              VNET_CsumFold(plain(start, data.data() + off, len)))
                        << "fill " << fill << " off " << off << " len " << len;
    }
}

} // namespace

namespace
{
struct written {
    bytes hdr;
    bytes frame;
};

void keep(void *arg, const uint8_t hdr[VNET_HDR_LEN], const uint8_t *frame, size_t len)
{
    static_cast<std::vector<written> *>(arg)->push_back(
        {bytes(hdr, hdr + VNET_HDR_LEN), bytes(frame, frame + len)});
}

// Coalesces frames, then cuts what was written again: the frames come back
// exactly, and the number of writes tells what joined.
std::vector<bytes> round_trip(const std::vector<bytes> &frames, size_t *writes)
{
    vnet_coalescer *c = new vnet_coalescer;
    std::vector<written> out;
    for (const bytes &f : frames)
        VNET_CoalesceAdd(c, f.data(), f.size(), keep, &out);
    VNET_CoalesceFlush(c, keep, &out);
    delete c;
    *writes = out.size();
    std::vector<bytes> back;
    for (written &w : out) {
        vnet_hdr h;
        EXPECT_EQ(VNET_ParseHdr(w.hdr.data(), w.hdr.size(), &h), 0);
        int ret;
        for (bytes &f : segment(h, w.frame, &ret))
            back.push_back(f);
        EXPECT_GT(ret, 0);
    }
    return back;
}

std::vector<bytes> kernel_frames(const vnet_kernel_case &c)
{
    std::vector<bytes> v;
    for (const char *f : c.frames)
        if (f != nullptr)
            v.push_back(unhex(f));
    return v;
}
} // namespace

TEST(vnet, coalesces_only_what_the_kernel_cuts_back_into_the_same_frames)
{
    // Writes expected per kernel case: FIN, IP options, CWR and a VLAN tag
    // keep frames apart; a plain run of ACK frames ending in PSH joins.
    const size_t writes_of[] = {2, 3, 1, 2, 1, 1};
    static_assert(std::size(writes_of) == std::size(vnet_kernel_cases));
    for (size_t i = 0; i < std::size(vnet_kernel_cases); i++) {
        SCOPED_TRACE(vnet_kernel_cases[i].name);
        std::vector<bytes> in = kernel_frames(vnet_kernel_cases[i]);
        size_t writes;
        EXPECT_EQ(round_trip(in, &writes), in);
        EXPECT_EQ(writes, writes_of[i]);
    }

    // The second frame of a run of four changed so that it cannot join the
    // first: it starts a segment of its own, which the third cannot join
    // either (or, refused outright, it is written alone).
    std::vector<bytes> run = kernel_frames(vnet_kernel_cases[2]);
    struct {
        const char *name;
        void (*change)(bytes &f);
        size_t writes;
    } cases[] = {
        {"unchanged", [](bytes &) {}, 1},
        {"bad TCP checksum", [](bytes &f) { f[50] ^= 1; }, 3},
        {"bad IP checksum", [](bytes &f) { f[24] ^= 1; }, 3},
        {"identifier not one up", [](bytes &f) { f[19] ^= 4, f[25] ^= 4; }, 3},
        {"sequence gap", [](bytes &f) { f[41] ^= 1, f[51] ^= 1; }, 3},
        {"other window", [](bytes &f) { f[48] ^= 1, f[50] ^= 1; }, 3},
        {"other destination MAC", [](bytes &f) { f[0] ^= 2; }, 3},
        {"SYN", [](bytes &f) { f[47] |= 2, f[50] ^= 2; }, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<bytes> in = run;
        c.change(in[1]);
        size_t writes;
        EXPECT_EQ(round_trip(in, &writes), in);
        EXPECT_EQ(writes, c.writes);
    }
}
