// A read from a TAP device opened with the virtio-net header: the header,
// then a frame of any length and content. Whatever the segmenter hands over
// must lie inside its scratch, carry sound checksums, and together carry the
// segment's payload exactly once. The frames cut, gathered again and cut
// again, come back exactly.
#include <cstring>
#include <vector>

#include "vas.h"
#include "vnet.h"

namespace
{
struct seen {
    size_t frames = 0;
    size_t bytes = 0;
};

void check(void *arg, const uint8_t *frame, size_t len)
{
    auto *s = static_cast<seen *>(arg);
    VAS_ASSERT(len <= VNET_MAX_FRAME);
    s->frames++;
    s->bytes += len;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static uint8_t frame[VNET_MAX_FRAME];
    static uint8_t scratch[VNET_MAX_FRAME];
    vnet_hdr h;
    if (VNET_ParseHdr(data, size, &h) != 0)
        return 0;
    size_t len = size - VNET_HDR_LEN;
    if (len > sizeof frame)
        len = sizeof frame;
    std::memcpy(frame, data + VNET_HDR_LEN, len);
    seen s;
    int n = VNET_Segment(h, frame, len, scratch, sizeof scratch, check, &s);
    VAS_ASSERT(n == -1 ? s.frames == 0 : static_cast<size_t>(n) == s.frames);
    if (n <= 0 || (h.gso_type & 0x7f) != VNET_GSO_TCPV4)
        return 0;
    // Every cut frame repeats the headers; the payloads add up to the segment's.
    size_t l3 = frame[12] == 0x81 ? 18 : 14;
    size_t hl = l3 + (frame[l3] & 0x0f) * 4u + (frame[l3 + (frame[l3] & 0x0f) * 4u + 12] >> 4) * 4u;
    VAS_ASSERT(s.bytes - static_cast<size_t>(n) * hl == len - hl);
    // And each verifies: cut one more time, checking every frame's sums.
    struct verify {
        static void one(void *arg, const uint8_t *f, size_t flen)
        {
            size_t hl3 = *static_cast<size_t *>(arg);
            size_t ihl = (f[hl3] & 0x0f) * 4u;
            VAS_ASSERT(VNET_CsumFold(VNET_CsumAdd(0, f + hl3, ihl)) == 0);
            uint8_t pseudo[12];
            std::memcpy(pseudo, f + hl3 + 12, 8);
            pseudo[8] = 0;
            pseudo[9] = 6;
            size_t tlen = flen - hl3 - ihl;
            pseudo[10] = static_cast<uint8_t>(tlen >> 8);
            pseudo[11] = static_cast<uint8_t>(tlen);
            uint32_t sum = VNET_CsumAdd(0, pseudo, sizeof pseudo);
            VAS_ASSERT(VNET_CsumFold(VNET_CsumAdd(sum, f + hl3 + ihl, tlen)) == 0);
        }
    };
    std::memcpy(frame, data + VNET_HDR_LEN, len);
    (void)VNET_Segment(h, frame, len, scratch, sizeof scratch, verify::one, &l3);

    using frames = std::vector<std::vector<uint8_t>>;
    struct gather {
        static void cut(void *arg, const uint8_t *f, size_t flen)
        {
            static_cast<frames *>(arg)->emplace_back(f, f + flen);
        }
        static void out(void *arg, const uint8_t hdr[VNET_HDR_LEN], const uint8_t *f, size_t flen)
        {
            vnet_hdr gh;
            AZ(VNET_ParseHdr(hdr, VNET_HDR_LEN, &gh));
            std::vector<uint8_t> copy(f, f + flen);
            static uint8_t s2[VNET_MAX_FRAME];
            VAS_ASSERT(VNET_Segment(gh, copy.data(), copy.size(), s2, sizeof s2, cut, arg) > 0);
        }
    };
    frames first, again;
    std::memcpy(frame, data + VNET_HDR_LEN, len);
    (void)VNET_Segment(h, frame, len, scratch, sizeof scratch, gather::cut, &first);
    static vnet_coalescer c;
    for (const auto &f : first)
        VNET_CoalesceAdd(&c, f.data(), f.size(), gather::out, &again);
    VNET_CoalesceFlush(&c, gather::out, &again);
    VAS_ASSERT(again == first);
    return 0;
}
