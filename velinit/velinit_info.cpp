#include "velinit_info.h"

#include "report_client.h"
#include "vas.h"
#include "vnode.h"
#include "vsb.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace
{

// VELINIT_DIR + name, which must fit the path buffer.
void conf_path(char *dst, const char *name)
{
    int n = std::snprintf(dst, VELINIT_BUFSZ, VELINIT_DIR "%s", name);
    VAS_ASSERT(n >= 0 && (size_t)n < VELINIT_BUFSZ);
}

int write_conf(const char *name, const char *text)
{
    char path[VELINIT_BUFSZ];
    conf_path(path, name);
    if (writeIntoFile(path, text) != 0) {
        std::puts("[ERROR] writeIntoFile() faield");
        return -1;
    }
    return 0;
}

// An address field must be one veld accepts from its node file: written in
// digits and dots only (no blank, line end or anything else the shell or veld
// would see), and a valid IPv4 address.
bool is_ipv4(const char *field)
{
    return VNODE_ParseIPv4(field, nullptr);
}

void fill_body(struct vsb *body, void *)
{
    VELINIT_Body(body);
}

} // namespace

ssize_t readFromFile(const char *path, char *buf, size_t size)
{
    errno = 0;
    FILE *fp = std::fopen(path, "r");
    if (fp == nullptr)
        return -1;
    size_t n = std::fread(buf, 1, size, fp);
    ssize_t result;
    if (n == 0) {
        std::puts("[ERROR] fread(3) error: no content");
        result = -2;
    } else if (n == size) {
        std::puts("[ERROR] fread(3) error: too long content");
        result = -3;
    } else {
        buf[n] = '\0';
        result = (ssize_t)n;
    }
    int e = errno;
    std::fclose(fp);
    errno = e;
    return result;
}

int writeIntoFile(const char *path, const char *text)
{
    FILE *fp = std::fopen(path, "w");
    if (fp == nullptr) {
        int e = errno;
        std::printf("[ERROR] fopen(3) for %s failed: %d %s\n", path, e, std::strerror(e));
        return -1;
    }
    size_t len = std::strlen(text);
    size_t n = std::fwrite(text, 1, len, fp);
    // The text may sit in the stream's buffer: only a clean close proves it
    // reached the file (a full disk shows up there).
    int e = errno;
    int closed = std::fclose(fp);
    if (n != len || closed != 0) {
        if (n == len)
            e = errno;
        std::printf("[ERROR] fwrite(3) for %s failed: %d %s\n", path, e, std::strerror(e));
        return -1;
    }
    return 0;
}

void putBody(struct vsb *body, const char *name)
{
    char path[VELINIT_BUFSZ];
    char buf[VELINIT_BUFSZ];
    conf_path(path, name);
    ssize_t n = readFromFile(path, buf, sizeof buf);
    if (n > 0)
        VSB_format(body, "%s=%.*s&", name, (int)n, buf);
}

void readACL(const char *path, struct vsb *body, const char *key)
{
    auto buf = std::make_unique<char[]>(VELINIT_ACLSZ);
    AN(buf.get());
    ssize_t n = readFromFile(path, buf.get(), VELINIT_ACLSZ);
    if (n <= 0)
        return;
    char line[VELINIT_BUFSZ];
    size_t len = 0;
    for (ssize_t i = 0; i < n; i++) {
        char c = buf[i];
        if (c == '\n') {
            line[len] = '\0';
            if (len > 0)
                VSB_format(body, "%s=%s&", key, line);
            len = 0;
            continue;
        }
        line[len++] = c;
        // A line that fills the whole line buffer ends the list here.
        if (len == sizeof line)
            return;
    }
}

void VELINIT_Body(struct vsb *body)
{
    putBody(body, "version");
    putBody(body, "commercial_node");
    putBody(body, "commercial_node_currency");
    putBody(body, "commercial_node_price_domestic");
    putBody(body, "commercial_node_price_international");
    readACL(VELINIT_DIR "users_allow", body, "users_allow[]");
    readACL(VELINIT_DIR "users_deny", body, "users_deny[]");
    putBody(body, "name");
    putBody(body, "owner_name");
    putBody(body, "owner_email");
}

int splitFields(char **slots, int max, char *text, const char *sep)
{
    int n = 0;
    char *p = text;
    while (n < max) {
        char *piece = strsep(&p, sep);
        if (piece == nullptr) {
            slots[n] = nullptr;
            break;
        }
        if (*piece == '\0')
            continue;
        slots[n++] = piece;
    }
    return n;
}

int checkInfo(char *body, char **f)
{
    int n = splitFields(f, VELINIT_MAXFIELDS, body, ":");
    if (n < 3) {
        std::printf("[ERROR] Unexpected body: %d\n", n);
        return -1;
    }
    if (!is_ipv4(f[0])) {
        std::printf("[ERROR] Wrong IP address format: %s\n", f[0]);
        return -1;
    }
    if (std::strlen(f[1]) != 2) {
        std::printf("[ERROR] Wrong GeoIP country code format: %s\n", f[1]);
        return -1;
    }
    if (!is_ipv4(f[2])) {
        std::printf("[ERROR] Wrong IP address format for public IP: %s\n", f[2]);
        return -1;
    }
    return n;
}

int parseInfo(char *body)
{
    char *f[VELINIT_MAXFIELDS];
    int n = checkInfo(body, f);
    if (n < 0)
        return -1;

    struct vsb *s = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    AN(s);
    VSB_format(s, "10.254.254.1:7878,%s:8080,%s:8081", f[0], f[0]);
    AZ(VSB_finish(s));
    int r = write_conf("varnishd_listen_address", VSB_data(s));
    if (r == 0)
        r = write_conf("v2_tapip", f[0]);
    if (r == 0)
        r = write_conf("country", f[1]);
    if (r == 0)
        r = write_conf("public_ip", f[2]);
    if (r == 0 && n < 5) {
        std::puts("[WARN] No authentication information for ADN mode");
        r = -1;
    }
    if (r == 0) {
        VSB_clear(s);
        VSB_format(s, "%s\t%s", f[3], f[4]);
        AZ(VSB_finish(s));
        r = write_conf("adn_userauth", VSB_data(s));
    }
    VSB_delete(s);
    return r;
}

int getInfo(const char *endpoint)
{
    rc_caller c = {rc_voice::CONSOLE, stdout};
    rc_request rq = {"/get/info.php", fill_body, nullptr, true};
    auto ans = std::make_unique<rc_answer>();
    if (RC_Transmit(&c, endpoint, &rq, ans.get()) != 0)
        return -1;
    if (ans->split != 0) {
        std::puts("[WARN] Failed to parse HTTP response");
        return -1;
    }
    long status = RC_Status(ans->hdr[1]);
    if (status == 200) {
        if (parseInfo(ans->body) != 0) {
            std::puts("[ERROR] Failed to parse the response format.");
            return -1;
        }
        return 0;
    }
    if (status == 418) {
        std::puts("[WARN] Failed to emit the client info.");
        std::printf("       Reason: %s\n", ans->body);
        return -1;
    }
    std::printf("[WARN] Unexpected HTTP status: %s\n", ans->hdr[1]);
    return -1;
}
