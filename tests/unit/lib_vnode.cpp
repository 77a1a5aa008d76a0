// The address rule of the node files, shared by the writer (velinit) and the
// reader (veld).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>

#include "vnode.h"

namespace
{

TEST(vnode, AddressesAsVeldReadsThem)
{
    struct Case {
        std::string text;
        bool dotted; // veld's character rule
        bool ipv4;   // and an address
    } cases[] = {
        {"10.9.0.1", true, true},     {"203.0.113.5", true, true},
        {"10.1", true, true}, // inet_addr's short form
        {"0.0.0.0", true, true},      {"255.255.255.255", true, false},
        {"1.2.3.4.5", true, false},   {"256.1.1.1", true, false},
        {"...", true, false},         {"", false, false},
        {"10.9.0.1\n", false, false}, {"10.9.0.1 ", false, false},
        {" 10.9.0.1", false, false},  {"10.9.0.1 ;reboot", false, false},
        {"0x0a.9.0.1", false, false}, {std::string("1.2\0.3", 6), false, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(VNODE_IsDotted(c.text.data(), c.text.size()), c.dotted) << c.text;
        uint32_t a = 0;
        bool nul_inside = c.text.find('\0') != std::string::npos;
        if (!nul_inside) {
            EXPECT_EQ(VNODE_ParseIPv4(c.text.c_str(), &a), c.ipv4) << c.text;
        }
        if (c.ipv4) {
            EXPECT_EQ(a, inet_addr(c.text.c_str())) << c.text;
        }
    }
    EXPECT_TRUE(VNODE_ParseIPv4("10.9.0.1", nullptr));
}

} // namespace
