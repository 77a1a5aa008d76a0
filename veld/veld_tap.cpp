#include "veld_tap.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include "vas.h"
#include "veld_dgram.h"
#include "veld_port.h"
#include "veld_sess.h"
#include "veld_state.h"
#include "vlog.h"
#include "vnet.h"
#include "vnode.h"
#include "vrate.h"

tap_state tapst;
static_assert(TAP_NAME_SIZE == IFNAMSIZ);

namespace
{
ssize_t tap_write_fd(const void *frame, size_t len)
{
    if (!tapst.vnet)
        return write(veld.tap_fd, frame, len);
    // A plain header: one frame, nothing for the kernel to complete.
    static uint8_t hdr[VNET_HDR_LEN];
    struct iovec iov[2] = {{hdr, sizeof hdr}, {const_cast<void *>(frame), len}};
    ssize_t r = writev(veld.tap_fd, iov, 2);
    return r < static_cast<ssize_t>(sizeof hdr) ? (r < 0 ? r : 0)
                                                : r - static_cast<ssize_t>(sizeof hdr);
}
ssize_t tap_read_fd(void *buf, size_t size)
{
    return read(veld.tap_fd, buf, size);
}
int tap_system(const char *cmd)
{
    return system(cmd);
}

void tap_run(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void tap_run(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int l = std::vsnprintf(tapst.cmd, sizeof tapst.cmd, fmt, ap);
    va_end(ap);
    VAS_ASSERT_TEXT(l >= 0 && static_cast<size_t>(l) < sizeof tapst.cmd, "l < sizeof(cmd)");
    int ret = tap_system_fn(tapst.cmd);
    VAS_ASSERT_TEXT(ret == 0, "ret == 0");
}
} // namespace

tap_write_f tap_write_fn = tap_write_fd;
tap_read_f tap_read_fn = tap_read_fd;
tap_system_f tap_system_fn = tap_system;

bool tap_offload_wanted()
{
    const char *v = std::getenv("VELD_OFFLOAD");
    return v == nullptr || (std::strcmp(v, "off") != 0 && std::strcmp(v, "0") != 0);
}

namespace
{
bool tap_coalesce_wanted()
{
    const char *v = std::getenv("VELD_OFFLOAD");
    return v == nullptr || std::strcmp(v, "nocoalesce") != 0;
}
} // namespace

namespace
{
// Offloads the TAP device takes on: we complete checksums and cut TCP/IPv4
// segments (ECN marks included) ourselves. IPv6 is left to the kernel.
constexpr unsigned TAP_OFFLOADS = TUN_F_CSUM | TUN_F_TSO4 | TUN_F_TSO_ECN;

// Opens the device with the virtio-net header and the offloads; -1 (with
// the reason in offload_note) where the kernel offers neither, and the
// device then goes the frame-at-a-time way.
int tap_open_vnet()
{
    int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK);
    VAS_ASSERT_TEXT(fd >= 0, "0 == 1");
    unsigned features = 0;
    if (ioctl(fd, TUNGETFEATURES, &features) < 0 || (features & IFF_VNET_HDR) == 0) {
        std::snprintf(tapst.offload_note, sizeof tapst.offload_note,
                      "no virtio-net header on this kernel");
        close(fd);
        return -1;
    }
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI | IFF_VNET_HDR;
    int err = ioctl(fd, TUNSETIFF, &ifr);
    if (err < 0) {
        std::snprintf(tapst.offload_note, sizeof tapst.offload_note, "TUNSETIFF: %s",
                      std::strerror(errno));
        close(fd);
        return -1;
    }
    int hdrsz = static_cast<int>(VNET_HDR_LEN);
    if (ioctl(fd, TUNSETVNETHDRSZ, &hdrsz) < 0 || ioctl(fd, TUNSETOFFLOAD, TAP_OFFLOADS) < 0) {
        std::snprintf(tapst.offload_note, sizeof tapst.offload_note, "TUNSETOFFLOAD: %s",
                      std::strerror(errno));
        close(fd); // the device goes with it
        return -1;
    }
    std::snprintf(tapst.tapname, sizeof tapst.tapname, "%s", ifr.ifr_name);
    tapst.vnet = true;
    tapst.coalesce = tap_coalesce_wanted();
    return fd;
}
} // namespace

int tap_alloc()
{
    tapst.vnet = tapst.coalesce = false;
    int fd = -1;
    if (tap_offload_wanted())
        fd = tap_open_vnet();
    else
        std::snprintf(tapst.offload_note, sizeof tapst.offload_note,
                      "switched off by VELD_OFFLOAD");
    struct ifreq ifr;
    if (fd < 0) {
        // Non-blocking, so that the loop can read until nothing is left. Writes
        // never wait either way: the device takes every frame or drops it.
        fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK);
        VAS_ASSERT_TEXT(fd >= 0, "0 == 1");
        std::memset(&ifr, 0, sizeof ifr);
        ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
        int err = ioctl(fd, TUNSETIFF, &ifr);
        if (err < 0) {
            close(fd);
            return err;
        }
    } else {
        std::memset(&ifr, 0, sizeof ifr);
        std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", tapst.tapname);
    }
    std::snprintf(tapst.tapname, sizeof tapst.tapname, "%s", ifr.ifr_name);
    VAS_ASSERT_TEXT(std::strlen(tapst.tapname) > 0, "strlen(tapname) > 0");
    // The device's own address: no client may claim it as its source.
    std::memset(&ifr, 0, sizeof ifr);
    if (ioctl(fd, SIOCGIFHWADDR, &ifr) == 0) {
        std::memcpy(tapst.mac, ifr.ifr_hwaddr.sa_data, 6);
        tapst.has_mac = true;
    } else {
        VLOG("[WARN] Cannot read the address of %s: %d %s", tapst.tapname, errno,
             std::strerror(errno));
    }
    return fd;
}

void tap_offload_line(const char *udp)
{
    if (tapst.vnet)
        VLOG("[INFO] Offloads: %s with the virtio-net header, TCP segments cut into frames here, "
             "client frames %s; %s",
             tapst.tapname,
             tapst.coalesce ? "gathered into segments" : "written one by one (VELD_OFFLOAD)", udp);
    else
        VLOG("[INFO] Offloads: %s one frame at a time (%s); %s", tapst.tapname, tapst.offload_note,
             udp);
}

int tap_read_ipfile(const char *path, char *buf, size_t size)
{
    AN(buf);
    VAS_ASSERT(size > 1);
    FILE *fp = std::fopen(path, "r");
    if (fp == nullptr) {
        VLOG("[ERROR] fopen(3) for %s failed: %d %s", path, errno, std::strerror(errno));
        return -1;
    }
    size_t n = std::fread(buf, 1, size - 1, fp);
    if (n == 0) {
        VLOG("[ERROR] fread(3) for %s failed (no content): %d %s", path, errno,
             std::strerror(errno));
        std::fclose(fp);
        return -1;
    }
    std::fclose(fp);
    buf[n] = '\0';
    // A NUL inside the file counts as a bad character. velinit checks what it
    // writes with the same rule.
    if (!VNODE_IsDotted(buf, n)) {
        VLOG("[ERROR] Wrong IPv4 format (%s).", buf);
        return -1;
    }
    return 0;
}

int tap_parse_public_ip(const char *text, uint32_t *ip)
{
    in_addr_t a = inet_addr(text);
    if (a == INADDR_NONE) {
        VLOG("[ERROR] Failed to parse the public IP: %s", text);
        return -1;
    }
    *ip = a;
    return 0;
}

void setupTapDev()
{
    static char ip[TAP_CMD_SIZE];
    if (tap_read_ipfile(TAP_IP_FILE, ip, sizeof ip) != 0)
        std::exit(1);
    tap_run("/sbin/ip link set %s up mtu 1450", tapst.tapname);
    tap_run("/sbin/ifconfig %s inet %s netmask 255.255.240.0 up", tapst.tapname, ip);
    tap_run("/sbin/ifconfig %s:0 inet 10.254.254.1 netmask 255.255.0.0", tapst.tapname);
    struct in_addr in;
    if (inet_aton(ip, &in) != 0)
        tapst.ip = in.s_addr;
    tapst.alias_ip = inet_addr("10.254.254.1");
}

void readPublicIP()
{
    static char text[TAP_CMD_SIZE];
    uint32_t ip;
    if (tap_read_ipfile(PUBLIC_IP_FILE, text, sizeof text) != 0 ||
        tap_parse_public_ip(text, &ip) != 0)
        std::exit(1);
    tapst.public_ip = ip;
}

namespace
{
// Client frames on their way to the TAP device, gathered into segments.
vnet_coalescer tap_coal;

void tap_out(void *, const uint8_t hdr[VNET_HDR_LEN], const uint8_t *frame, size_t len)
{
    struct iovec iov[2] = {{const_cast<uint8_t *>(hdr), VNET_HDR_LEN},
                           {const_cast<uint8_t *>(frame), len}};
    ssize_t ret = writev(veld.tap_fd, iov, 2);
    if (ret < 0) {
        VLOG("[ERROR] write(2) error: %d %s", errno, std::strerror(errno));
        return;
    }
    VAS_ASSERT_TEXT(ret == static_cast<ssize_t>(len + VNET_HDR_LEN), "ret == len");
}
} // namespace

void tap_flush()
{
    VNET_CoalesceFlush(&tap_coal, tap_out, nullptr);
}

void tap_write(const uint8_t *frame, size_t len)
{
    if (tapst.coalesce) {
        VNET_CoalesceAdd(&tap_coal, frame, len, tap_out, nullptr);
        return;
    }
    ssize_t ret = tap_write_fn(frame, len);
    if (ret < 0) {
        VLOG("[ERROR] write(2) error: %d %s", errno, std::strerror(errno));
        return;
    }
    VAS_ASSERT_TEXT(ret == static_cast<ssize_t>(len), "ret == len");
}

bool tap_owns_ip(uint32_t addr)
{
    return addr != 0 && (addr == tapst.ip || addr == tapst.alias_ip);
}

void tap_input(const uint8_t *frame, ssize_t n)
{
    if (n < 0) {
        VLOG("[ERROR] read(2) error for tap(4): %d %s", errno, std::strerror(errno));
        return;
    }
    // Nothing shorter than two MAC addresses can be switched.
    if (n <= 6 || n > TAP_MAX_FRAME) {
        VLOG("[ERROR] VELEC_00149: wrong len %zd from tap(4). Skipped a frame", n);
        return;
    }
    size_t len = static_cast<size_t>(n);
    // Broadcasts first: a client that sends from ff:ff:ff:ff:ff:ff owns a
    // session of that address, and must not take every station's ARP.
    static constexpr uint8_t bcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    if (std::memcmp(frame, bcast, 6) == 0) {
        sess_bcast_from_tap(frame, len);
        return;
    }
    sess *sp = sess_find(frame, len);
    if (sp != nullptr) {
        sess_tx(sp, frame, len);
        return;
    }
    VLOG("[WARN] No session is found");
}

namespace
{
vrate rl_seg{"Segment from tap(4)"};

void tap_emit(void *, const uint8_t *frame, size_t len)
{
    tap_input(frame, static_cast<ssize_t>(len));
}
} // namespace

void tap_input_vnet(uint8_t *buf, ssize_t n)
{
    if (n < 0 || static_cast<size_t>(n) < VNET_HDR_LEN) {
        tap_input(buf, n < 0 ? n : 0);
        return;
    }
    vnet_hdr h;
    AZ(VNET_ParseHdr(buf, static_cast<size_t>(n), &h));
    uint8_t *frame = buf + VNET_HDR_LEN;
    size_t len = static_cast<size_t>(n) - VNET_HDR_LEN;
    if (h.gso_type == VNET_GSO_NONE && (h.flags & VNET_F_NEEDS_CSUM) == 0) {
        tap_input(frame, static_cast<ssize_t>(len));
        return;
    }
    static uint8_t scratch[VNET_MAX_FRAME];
    int k = VNET_Segment(h, frame, len, scratch, sizeof scratch, tap_emit, nullptr);
    if (k < 0) {
        VRATE_Log(&rl_seg,
                  "[ERROR] Segment from tap(4) cannot be cut (gso type %u size %u len %zu). "
                  "Skipped it",
                  h.gso_type, h.gso_size, len);
        return;
    }
    if (h.gso_type != VNET_GSO_NONE) {
        tapst.segments++;
        tapst.seg_frames += static_cast<uint64_t>(k);
    }
}

unsigned tap_rx_batch()
{
    // With the virtio-net header a read may hold a whole TCP segment.
    static uint8_t buf[VNET_HDR_LEN + VNET_MAX_FRAME];
    unsigned reads = 0;
    while (reads < TAP_BATCH) {
        ssize_t n = tap_read_fn(buf, tapst.vnet ? sizeof buf : DGRAM_BUF_SIZE);
        reads++;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // Each frame is switched before the next read reuses the buffer.
        if (tapst.vnet)
            tap_input_vnet(buf, n);
        else
            tap_input(buf, n);
        if (n <= 0)
            break;
    }
    return reads;
}

namespace
{
bool tap_owns_mac(const uint8_t *mac)
{
    return tapst.has_mac && std::memcmp(mac, tapst.mac, 6) == 0;
}

uint32_t tap_public_ip()
{
    return tapst.public_ip;
}
} // namespace

const veld_tap_port veld_port_tap = {tap_write, tap_owns_ip, tap_owns_mac, tap_public_ip};
