// One cycle of the daemon: fetch the reserved nodes from veltalkd, time one
// TCP connection or UDP exchange per endpoint, send the results back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

#include "velrttd_list.h"

// How long calcrtt waits for an endpoint's answer.
constexpr int CALCRTT_WAIT_SEC = 3;
// What a UDP endpoint is sent.
constexpr const char *CALCRTT_UDP_PAYLOAD = "1234";

// Where veltalkd listens (-S, -p).
struct talk_config {
    struct in_addr ip {
    };
    uint16_t port = 10010;
};
extern talk_config talk;

// Formats into an RTT_LINE_SIZE buffer and writes it all. Gives the length
// written, 0 on a zero write, -1 on an error (or a text that would not fit,
// which is never sent cut).
int MNE_fwrite(int fd, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Reads one line (up to its line feed) into buf: a positive value, 0 at end of
// stream (a part line is dropped), -1 on a read error or a line that does not
// fit in len bytes.
int MNE_readline(int fd, char *buf, size_t len);
// Receive and send time-outs of 30 seconds.
void setTimeout(int fd);
// Switches fd to non-blocking; a failure other than the peer going away aborts.
void TCP_nonblocking(int fd);
// Wall-clock time in seconds.
double TIM_real();

// A TCP socket connected to veltalkd, or -1 after logging warn_fmt with the
// error text at warning priority. A socket that cannot be made or configured
// ends the process (status 1).
int talk_connect(const char *warn_fmt);

// Reads the reserved-node list from a connected socket into the lists.
int handle_R2(int fd);
void fetch();

// Measures one backend: flags, rtt, start and end are set.
void calcrtt_backend(backend *be);
// Measures every backend in list order, a second apart.
void calcrtt();

// Sends the RU lines of every reserved node on a connected socket; stops at
// the first failed write. Gives the number of lines sent.
int send_RU_lines(int fd);
// Connects, sends the RU lines, then frees both lists.
void send_RU();

// One whole cycle, with the phase lines of verbosity 3.
void rtt_cycle();
