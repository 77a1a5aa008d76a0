// The reserved nodes veltalkd names in one cycle, the endpoints they are
// measured through, and the two lines of the exchange: the R2 lines read in
// and the RU lines sent back. Everything here is rebuilt from nothing in every
// cycle and freed at its end.
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>
#include <unordered_set>

// Lines of the exchange are read and formatted in buffers of this size
// (line feed and NUL included).
constexpr size_t RTT_LINE_SIZE = 8192;
// At most this many fields of an R2 line are looked at.
constexpr int RTT_MAX_FIELDS = 16;

// One distinct endpoint (family, ip, port, protocol), measured once per cycle
// however many reserved nodes share it.
struct backend {
    static constexpr unsigned MAGIC = 0x96c075c4;
    static constexpr unsigned F_TIMEOUT = 2; // the last measurement timed out
    unsigned magic = MAGIC;
    unsigned flags = 0;
    std::string family; // part of the key only: every socket is IPv4
    std::string ip;
    int port = 0;
    std::string protocol; // "TCP" or "UDP"; anything else is not measured
    double rtt = 0;       // milliseconds, -1.0 when not measured
    double start = 0, end = 0;
};

struct reservednode {
    static constexpr unsigned MAGIC = 0xcdaa98d3;
    unsigned magic = MAGIC;
    std::string num;
    backend *be = nullptr;
};

// The lists of the running cycle, in arrival order (std::list keeps the
// addresses the reserved nodes refer to), and the verbosity of -v.
struct rtt_state {
    int verbose = 0;
    std::list<backend> backends;
    std::list<reservednode> nodes;
    // Indexes of the two lists, so that each line is checked against the
    // earlier ones in constant time: tens of thousands of reserved nodes
    // must not cost a walk of the list per line.
    std::unordered_set<std::string> nums;
    std::unordered_map<std::string, backend *> by_endpoint;
};
extern rtt_state rtt;

// What one R2 answer line means for the fetch.
enum class r2_line {
    more, // taken (or skipped): read the next line
    end,  // the end line (RO): the list is complete
    bad,  // the line breaks the protocol: end the fetch, keep what was read
};

// Splits line in place at runs of spaces, tabs, carriage returns and line
// feeds; stores at most max field pointers in av and gives their count.
int rtt_split(char *line, char **av, int max);

// Applies one answer line of len bytes (NUL-terminated after them, split in
// place) to the lists.
r2_line handle_R2_line(char *line, size_t len);

// The backend for this endpoint: the existing one with equal family, ip, port
// and protocol, or a new one appended. nullptr when the port is not 1 to 65535.
backend *lookupBackend(const char *num, const char *family, const char *ip, const char *port,
                       const char *protocol);

// Formats the RU line of rn into buf. Gives its length, or -1 when it does not
// fit in size bytes (nothing is ever cut).
int RU_format(char *buf, size_t size, const reservednode *rn);

// True when the RU line of num and ip fits the line buffer whatever the
// measured time, so that an accepted reserved node can always be reported.
bool RU_fits(const char *num, const char *ip);

// Frees both lists.
void rtt_free_all();
