// Offloads of a TAP device opened with the virtio-net header: the header the
// kernel puts in front of every frame, the completion of a checksum the
// kernel left partial, and the cutting of a large TCP segment into frames of
// the segment size it gives, exactly as the kernel's own segmentation cuts
// them. Shared by the node (veld) and the client (veltun); no system calls.
#pragma once

#include <cstddef>
#include <cstdint>

// The header in front of every frame (struct virtio_net_hdr, in the host's
// byte order as a TAP device uses it).
constexpr size_t VNET_HDR_LEN = 10;
// flags
constexpr uint8_t VNET_F_NEEDS_CSUM = 1; // checksum from csum_start still to be done
constexpr uint8_t VNET_F_DATA_VALID = 2; // checksum already verified
// gso_type
constexpr uint8_t VNET_GSO_NONE = 0;
constexpr uint8_t VNET_GSO_TCPV4 = 1;
constexpr uint8_t VNET_GSO_UDP = 3;
constexpr uint8_t VNET_GSO_TCPV6 = 4;
constexpr uint8_t VNET_GSO_UDP_L4 = 5;
constexpr uint8_t VNET_GSO_ECN = 0x80;

// A frame with its headers, as a TAP device hands it over: at most one IPv4
// packet of 64 KiB behind an Ethernet header and a VLAN tag.
constexpr size_t VNET_MAX_FRAME = 65536 + 18;

struct vnet_hdr {
    uint8_t flags;
    uint8_t gso_type;
    uint16_t hdr_len;
    uint16_t gso_size;
    uint16_t csum_start;
    uint16_t csum_offset;
};

// Reads the header from the first VNET_HDR_LEN bytes; -1 (EINVAL) when
// fewer are there.
int VNET_ParseHdr(const uint8_t *p, size_t len, vnet_hdr *h);
// Writes a header that asks nothing of the receiver (a plain frame).
void VNET_PlainHdr(uint8_t *p);

// One's-complement sum of len bytes (RFC 1071), not yet folded: add more to
// it with sum as the start, then VNET_CsumFold.
uint32_t VNET_CsumAdd(uint32_t sum, const uint8_t *p, size_t len);
// Folds a sum to 16 bits and complements it: the checksum as stored,
// in network byte order as a number (write it big-endian).
uint16_t VNET_CsumFold(uint32_t sum);

// Completes a partial checksum: the 16-bit one's-complement sum of the
// frame from start to its end (the checksum field holds the pseudo-header's
// sum), stored at start + offset; a result of 0 is stored as 0xffff, as the
// kernel does. -1 (EINVAL) when the field lies outside the frame.
int VNET_CsumComplete(uint8_t *frame, size_t len, size_t start, size_t offset);

// Receives every frame cut from a segment; the frame lives until the next call.
using vnet_emit_f = void (*)(void *arg, const uint8_t *frame, size_t len);

// Hands over the frames of one read from a TAP device (frame without the
// header): a frame that is not segmented as it is, its checksum completed
// when the header asks for it; a TCP/IPv4 segment cut into frames of at most
// gso_size bytes of TCP payload, each with its own IPv4 length, identifier
// (counting up from the segment's) and header checksum, TCP sequence number
// and checksum; FIN and PSH on the last frame only, CWR on the first only.
// scratch holds one cut frame (headers plus gso_size bytes; VNET_MAX_FRAME
// always suffices). The number of frames handed over, or -1 (EINVAL) when
// the segment cannot be cut (a kind of segment that was not offered, headers
// that do not fit the frame or disagree with the header's offsets); nothing
// is handed over then.
int VNET_Segment(const vnet_hdr &h, uint8_t *frame, size_t len, uint8_t *scratch,
                 size_t scratch_size, vnet_emit_f emit, void *arg);

// Receives what a coalescer writes: the virtio-net header to put in front,
// and one frame or a segment made of several.
using vnet_out_f = void (*)(void *arg, const uint8_t hdr[VNET_HDR_LEN], const uint8_t *frame,
                            size_t len);

// Gathers consecutive frames of one TCP/IPv4 flow into one segment for a
// TAP device with the offloads, as a kernel's receive offload does: only
// frames that the kernel's segmentation would cut back into exactly
// themselves join (the same headers but for length, identifier one up,
// sequence number where the last ended, payloads of one size but the last,
// only ACK and PSH set, no IP options or fragments, IP and TCP checksums
// verified). A frame with PSH ends its segment.
struct vnet_coalescer {
    uint8_t buf[VNET_MAX_FRAME]; // the segment held
    size_t len = 0;              // its bytes; 0: nothing held
    size_t hl = 0;               // header bytes (Ethernet, IPv4, TCP)
    size_t mss = 0;              // payload of its first frame
    unsigned frames = 0;
    uint16_t next_id = 0;
    uint32_t next_seq = 0;
    bool closed = false;     // its last frame was shorter, or carried PSH
    uint64_t segments = 0;   // segments of more than one frame written
    uint64_t seg_frames = 0; // frames in them
};

// Adds a frame: it joins the held segment, or the held one is written first
// and the frame is held (when it may start a segment) or written alone.
void VNET_CoalesceAdd(vnet_coalescer *c, const uint8_t *frame, size_t len, vnet_out_f out,
                      void *arg);
// Writes what is held.
void VNET_CoalesceFlush(vnet_coalescer *c, vnet_out_f out, void *arg);
