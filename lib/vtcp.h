// One-line socket option helpers. They give the raw result of the call;
// callers decide how to check it (see VTCP_Check).
#pragma once

// True when a socket call's result r is 0, or when it failed only because
// the peer went away (ECONNRESET, ENOTCONN), which callers tolerate.
bool VTCP_Check(int r);

// Switch a socket to blocking mode: result of ioctl(FIONBIO, 0).
int VTCP_blocking(int fd);

// Switch a socket to non-blocking mode: result of ioctl(FIONBIO, 1).
int VTCP_nonblocking(int fd);

// Switch off Nagle's algorithm: result of setting TCP_NODELAY to 1.
int VTCP_nodelay(int fd);

// Receive and send time-outs of VTCP_TIMEOUT_SEC seconds; a failure aborts.
constexpr int VTCP_TIMEOUT_SEC = 30;
void VTCP_setTimeout(int fd);
