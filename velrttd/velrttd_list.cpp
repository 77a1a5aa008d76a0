#include "velrttd_list.h"

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vas.h"
#include "vlog.h"

rtt_state rtt;

namespace
{
constexpr const char *FIELD_SEPARATORS = " \t\r\n";
constexpr const char *RU_FORMAT = "RU %s %s %d %f 0.0\r\n";

// The port text as atoi reads it (leading blanks, a sign, leading digits), but
// with out-of-range values refused rather than left undefined. 0 when invalid.
int port_value(const char *text)
{
    char *end;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || v < 1 || v > 65535)
        return 0;
    return (int)v;
}
} // namespace

int rtt_split(char *line, char **av, int max)
{
    int n = 0;
    char *save = nullptr;
    for (char *p = strtok_r(line, FIELD_SEPARATORS, &save); p != nullptr && n < max;
         p = strtok_r(nullptr, FIELD_SEPARATORS, &save))
        av[n++] = p;
    return n;
}

backend *lookupBackend(const char *num, const char *family, const char *ip, const char *port,
                       const char *protocol)
{
    AN(num);
    int p = port_value(port);
    if (p == 0)
        return nullptr;
    // Fields hold no NUL (such lines are refused), so NUL separates them.
    std::string key = std::string(family) + '\0' + ip + '\0' + std::to_string(p) + '\0' + protocol;
    auto [it, fresh] = rtt.by_endpoint.try_emplace(std::move(key), nullptr);
    if (!fresh) {
        CHECK_OBJ(it->second, backend::MAGIC);
        return it->second;
    }
    backend &be = rtt.backends.emplace_back();
    it->second = &be;
    be.family = family;
    be.ip = ip;
    be.port = p;
    be.protocol = protocol;
    be.rtt = 0;
    return &be;
}

r2_line handle_R2_line(char *line, size_t len)
{
    if (std::strlen(line) != len) {
        // Text lines hold no NUL: what follows one would go unseen.
        VLOG("[WARN] Wrong R2 line: NUL byte at %zu", std::strlen(line));
        return r2_line::bad;
    }
    char *av[RTT_MAX_FIELDS];
    int ac = rtt_split(line, av, RTT_MAX_FIELDS);

    if (ac > 0 && av[0][0] != 'R') {
        VLOG("[WARN] Wrong R2 line: %.32s", av[0]);
        return r2_line::bad;
    }
    if (ac > 0 && av[0][1] == 'O')
        return r2_line::end;
    if (ac < 6) {
        VLOG("[ERROR] Too few arguments, %d\n", ac);
        return r2_line::more;
    }
    if (std::strcmp(av[0], "R2") != 0) {
        VLOG("[WARN] Wrong R2 line: %.32s", av[0]);
        return r2_line::bad;
    }
    if (rtt.nums.count(av[1]) != 0)
        return r2_line::more; // the first line of a num wins
    if (!RU_fits(av[1], av[3])) {
        VLOG("[WARN] Reserved node %.32s... too long to report, skipped", av[1]);
        return r2_line::more;
    }
    backend *be = lookupBackend(av[1], av[2], av[3], av[4], av[5]);
    if (be == nullptr) {
        VLOG("[WARN] Wrong R2 port: %.32s", av[4]);
        return r2_line::bad;
    }
    reservednode &rn = rtt.nodes.emplace_back();
    rn.num = av[1];
    rtt.nums.insert(rn.num);
    rn.be = be;
    if (rtt.verbose >= 2)
        VLOG("[INFO] reservednode %s %s %d %s\n", rn.num.c_str(), be->ip.c_str(), be->port,
             be->protocol.c_str());
    return r2_line::more;
}

int RU_format(char *buf, size_t size, const reservednode *rn)
{
    CHECK_OBJ_NOTNULL(rn, reservednode::MAGIC);
    CHECK_OBJ_NOTNULL(rn->be, backend::MAGIC);
    int n = std::snprintf(buf, size, RU_FORMAT, rn->num.c_str(), rn->be->ip.c_str(), rn->be->port,
                          rn->be->rtt);
    if (n < 0 || (size_t)n >= size)
        return -1;
    return n;
}

bool RU_fits(const char *num, const char *ip)
{
    // The longest time %f can print is that of -DBL_MAX; the port has at most 5 digits.
    // That part is the same for every line: measured once (printing it costs
    // far more than the rest of reading a line).
    static const size_t fixed =
        static_cast<size_t>(std::snprintf(nullptr, 0, RU_FORMAT, "", "", 65535, -DBL_MAX));
    return fixed + std::strlen(num) + std::strlen(ip) < RTT_LINE_SIZE;
}

void rtt_free_all()
{
    for (reservednode &rn : rtt.nodes)
        CHECK_OBJ(&rn, reservednode::MAGIC);
    for (backend &be : rtt.backends)
        CHECK_OBJ(&be, backend::MAGIC);
    rtt.nodes.clear();
    rtt.backends.clear();
    rtt.nums.clear();
    rtt.by_endpoint.clear();
}
