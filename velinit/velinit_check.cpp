#include "velinit_check.h"

#include "vas.h"
#include "velinit_info.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

constexpr const char *nat_message =
    "[ERROR] Couldn't find NAT setting from iptables(8).\n"
    "        Please run the following command with root permission.\n"
    "\n"
    "            # /sbin/iptables -t nat -A POSTROUTING -o eth0 -j MASQUERADE -s 10.252.0.0/14";

constexpr const char *forward_message =
    "[ERROR] IPv4 forwarding feature disabled.\n"
    "        Please run `/sbin/sysctl net.ipv4.ip_forward=1' command\n"
    "        with root permission to be enable.";

constexpr const char *icmp_message =
    "[ERROR] 'ICMP echo ignore all' feature disabled.\n"
    "        Please run `/sbin/sysctl net.ipv4.icmp_echo_ignore_all=1' command\n"
    "        with root permission to be enable.";

[[noreturn]] void fail(const char *message)
{
    std::puts(message);
    std::exit(1);
}

// The number held by a /proc file; any failure ends the process.
long proc_value(const char *path)
{
    char buf[VELINIT_BUFSZ];
    if (readFromFile(path, buf, sizeof buf) < 0) {
        int e = errno;
        std::printf("[ERROR] Failed to read %s: %d %s\n", path, e, std::strerror(e));
        std::exit(1);
    }
    long v;
    char *end;
    if (NUM_strtol(&v, buf, &end, 10) != 0)
        std::exit(1);
    return v;
}

// The old binary sysctl interface; kernels without it say ENOSYS.
struct sysctl_args {
    int *name;
    int nlen;
    void *oldval;
    size_t *oldlenp;
    void *newval;
    size_t newlen;
    unsigned long unused[4];
};

int read_sysctl(int *name, int nlen, void *val, size_t *len)
{
#ifdef SYS__sysctl
    sysctl_args a = {name, nlen, val, len, nullptr, 0, {0, 0, 0, 0}};
    return (int)syscall(SYS__sysctl, &a);
#else
    (void)name, (void)nlen, (void)val, (void)len;
    errno = ENOSYS;
    return -1;
#endif
}

} // namespace

int NUM_strtol(long *result, const char *text, char **end, int base)
{
    errno = 0;
    long v = std::strtol(text, end, base);
    if ((errno == ERANGE && (v == LONG_MAX || v == LONG_MIN)) || (errno != 0 && v == 0)) {
        int e = errno;
        std::printf("[WARN] %s: strtol failed, %d %s\n", "NUM_strtol", e, std::strerror(e));
        return -1;
    }
    if (*end == text) {
        std::puts("[WARN] No digits were found");
        return -1;
    }
    *result = v;
    return 0;
}

void checkRootPermission(void)
{
    if (geteuid() != 0)
        fail("[ERROR] Required to be executed with root permission.");
}

void checkNAT(void)
{
    std::fflush(stdout);
    FILE *pp = popen("/sbin/iptables -L -n -v -t nat", "r");
    if (pp == nullptr) {
        int e = errno;
        std::printf("[WARN] popen(3) error: %d %s\n", e, std::strerror(e));
        std::exit(1);
    }
    char line[VELINIT_BUFSZ];
    bool found = false;
    // A longer line comes in pieces; a word cut in two is not seen, as before.
    while (std::fgets(line, sizeof line, pp) != nullptr)
        if (std::strstr(line, "MASQUERADE") != nullptr)
            found = true;
    (void)pclose(pp);
    if (!found)
        fail(nat_message);
}

void checkIPv4Forward(void)
{
    int name[3] = {3 /* CTL_NET */, 5 /* NET_IPV4 */, 8 /* NET_IPV4_FORWARD */};
    int value = 0;
    size_t len = sizeof value;
    if (read_sysctl(name, 3, &value, &len) != 0) {
        if (errno == ENOSYS) {
            checkIPv4ForwardFromProc();
            return;
        }
        int e = errno;
        std::printf("[WARN] sysctl(2) error: %d %s\n", e, std::strerror(e));
        std::exit(1);
    }
    VAS_ASSERT_TEXT(len == sizeof value, "len == sizeof(value)");
    if (value == 0)
        fail(forward_message);
}

void checkIPv4ForwardFromProc(void)
{
    if (proc_value("/proc/sys/net/ipv4/ip_forward") == 0)
        fail(forward_message);
}

void checkIPv4IcmpEchoIgnoreAllFromProc(void)
{
    if (proc_value("/proc/sys/net/ipv4/icmp_echo_ignore_all") != 1)
        fail(icmp_message);
}

void VELINIT_Checks(void)
{
    checkRootPermission();
    checkNAT();
    checkIPv4Forward();
    checkIPv4IcmpEchoIgnoreAllFromProc();
}
