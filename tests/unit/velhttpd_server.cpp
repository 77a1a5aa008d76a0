// velhttpd's connection slots per client address.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "velhttpd_server.h"

TEST(HttpdServer, OneAddressHoldsABoundedNumberOfConnections)
{
    uint32_t a = inet_addr("198.51.100.5"), b = inet_addr("198.51.100.6");
    for (int i = 0; i < HTTPD_CONN_PER_ADDR; i++)
        EXPECT_TRUE(httpd_host_take(a)) << i;
    EXPECT_FALSE(httpd_host_take(a));
    EXPECT_TRUE(httpd_host_take(b));
    httpd_host_release(a);
    EXPECT_TRUE(httpd_host_take(a));
    EXPECT_FALSE(httpd_host_take(a));
    for (int i = 0; i < HTTPD_CONN_PER_ADDR; i++)
        httpd_host_release(a);
    httpd_host_release(b);
    httpd_host_release(b); // one release too many is harmless
    EXPECT_TRUE(httpd.per_host.empty());
}
