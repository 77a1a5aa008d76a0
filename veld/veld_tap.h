// TAP device and node addressing: the interface through which tunnelled frames
// reach the kernel, its addresses, and the node's public address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

constexpr const char *TAP_IP_FILE = "/etc/velkarn-server/v2_tapip";
constexpr const char *PUBLIC_IP_FILE = "/etc/velkarn-server/public_ip";
constexpr size_t TAP_CMD_SIZE = 8192;
constexpr size_t TAP_NAME_SIZE = 16; // the kernel's IFNAMSIZ
// Largest frame the TAP device hands us that we switch.
constexpr ssize_t TAP_MAX_FRAME = 1500;
// Frames read from the TAP device per readiness at most.
constexpr unsigned TAP_BATCH = 64;

struct tap_state {
    char tapname[TAP_NAME_SIZE] = {};
    uint32_t public_ip = 0xffffffffu; // network byte order; all ones: not set
    uint8_t mac[6] = {};              // the TAP device's own Ethernet address
    bool has_mac = false;
    // The TAP device's IPv4 addresses (network byte order; 0: none): only the
    // kernel answers for them, so no client may claim them.
    uint32_t ip = 0;
    uint32_t alias_ip = 0;
    char cmd[TAP_CMD_SIZE] = {};
    // Opened with the virtio-net header and the checksum and TCP segmentation
    // offloads: reads may hand over a TCP segment of up to 64 KiB, cut here
    // into frames, and every write carries a plain header in front.
    bool vnet = false;
    // Client frames of one TCP flow that arrive together are written as one
    // segment (VELD_OFFLOAD=nocoalesce: one by one).
    bool coalesce = false;
    char offload_note[96] = {}; // why the offloads are off, for the start-up line
    uint64_t segments = 0;      // large segments read and cut
    uint64_t seg_frames = 0;    // frames cut from them
};
extern tap_state tapst;

// Seams for tests: the write of one frame to the TAP device, and the shell.
using tap_write_f = ssize_t (*)(const void *frame, size_t len);
extern tap_write_f tap_write_fn;
// Seam: one read of the (non-blocking) TAP device.
using tap_read_f = ssize_t (*)(void *buf, size_t size);
extern tap_read_f tap_read_fn;
using tap_system_f = int (*)(const char *cmd);
extern tap_system_f tap_system_fn;

// Whether addr (network byte order) is one of the TAP device's own addresses.
bool tap_owns_ip(uint32_t addr);

// Setting the environment variable VELD_OFFLOAD to "off" (or "0") keeps the
// TAP device and the UDP socket on the frame-at-a-time path, as on a kernel
// without the offloads; "nocoalesce" keeps the offloads but writes client
// frames to the TAP device one by one.
bool tap_offload_wanted();
int tap_alloc();
// The one start-up line that says which offloads veld runs with (udp: what
// the UDP socket does, from dgram_offload_setup).
void tap_offload_line(const char *udp);
void setupTapDev();
void readPublicIP();

// Reads a node file of digits and dots into buf (NUL-terminated); 0, or -1
// after logging why.
int tap_read_ipfile(const char *path, char *buf, size_t size);
// Parses the public address; 0, or -1 after logging.
int tap_parse_public_ip(const char *text, uint32_t *ip);

// Writes one frame to the TAP device (the kernel forwards it). With the
// offloads it may be held to join the next ones into a segment.
void tap_write(const uint8_t *frame, size_t len);
// Writes what tap_write holds; the loop calls it at the end of every turn.
void tap_flush();
// One read from the TAP device of n bytes (or -1): switches the frame to its session.
void tap_input(const uint8_t *frame, ssize_t n);
// One read from a TAP device with the virtio-net header (n bytes with the
// header, or -1): a segment is cut into frames, each switched by tap_input.
void tap_input_vnet(uint8_t *buf, ssize_t n);
// Reads and switches the frames waiting on the TAP device, up to TAP_BATCH;
// stops early when none is left or a read fails. The number of reads made.
unsigned tap_rx_batch();
