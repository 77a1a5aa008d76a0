// The rate limiters of velhttpd's log lines. Every line a client can cause,
// per connection or per request, goes through one, so that many clients
// failing at once cost a few lines a second and a count.
#pragma once

#include "vrate.h"

struct httpd_limiters {
    vrate select{"HTTP select failed"};
    vrate recv{"HTTP recvfrom failed"};
    vrate rx{"HTTP rx failed"};
    vrate too_large{"HTTP request too large"};
    vrate format{"Wrong HTTP message format"};
    vrate spec{"http txresp spec"};
    vrate write{"Write to velrun failed"};
    vrate accept{"accept(2) error"};
    vrate refused{"Too many connections"};
    vrate refused_addr{"Too many connections from one address"};
    vrate resources{"out of memory or threads"};
};
extern httpd_limiters httpd_rl;

// Writes the count of lines held back once their second is over.
void httpd_log_flush();
// Forgets all counts (tests).
void httpd_log_reset();
