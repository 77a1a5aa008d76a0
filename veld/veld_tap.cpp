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
#include <unistd.h>

#include "vas.h"
#include "veld_dgram.h"
#include "veld_sess.h"
#include "veld_state.h"
#include "vlog.h"
#include "vnode.h"

tap_state tapst;
static_assert(TAP_NAME_SIZE == IFNAMSIZ);

namespace
{
ssize_t tap_write_fd(const void *frame, size_t len)
{
    return write(veld.tap_fd, frame, len);
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

int tap_alloc()
{
    // Non-blocking, so that the loop can read until nothing is left. Writes
    // never wait either way: the device takes every frame or drops it.
    int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK);
    VAS_ASSERT_TEXT(fd >= 0, "0 == 1");
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
    int err = ioctl(fd, TUNSETIFF, &ifr);
    if (err < 0) {
        close(fd);
        return err;
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

void tap_write(const uint8_t *frame, size_t len)
{
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

unsigned tap_rx_batch()
{
    static uint8_t buf[DGRAM_BUF_SIZE];
    unsigned reads = 0;
    while (reads < TAP_BATCH) {
        ssize_t n = tap_read_fn(buf, sizeof buf);
        reads++;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // Each frame is switched before the next read reuses the buffer.
        tap_input(buf, n);
        if (n <= 0)
            break;
    }
    return reads;
}
