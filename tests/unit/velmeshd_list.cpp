// The node-list exchange with veltalkd, read through a socket pair: what the
// node sends, which lines become nodes, which are skipped, which end the list.
#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "test_util.h"
#include "velmeshd.h"
#include "vlog.h"

namespace
{

time_t fake_now;
time_t now_fn()
{
    return fake_now;
}

class node_list : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        mesh_reset();
        mesh.ops.now = now_fn;
        fake_now = 1796652000;
        test_util::logged.clear();
        VLOG_SetSink(test_util::capture);
    }
    void TearDown() override
    {
        VLOG_SetSink(nullptr);
        mesh_reset();
    }

    // veltalkd's side: the answer is waiting, then the service closes.
    // Gives mesh_getNodeInfo's result; request gets what the node sent.
    int fetch(const std::string &answer, std::string *request = nullptr)
    {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        int bufsize = 1 << 20;
        setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &bufsize, sizeof bufsize);
        EXPECT_EQ(write(sv[0], answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
        shutdown(sv[0], SHUT_WR);
        testing::internal::CaptureStderr();
        int r = mesh_getNodeInfo(sv[1]);
        stderr_ = testing::internal::GetCapturedStderr();
        char buf[64];
        ssize_t n = read(sv[0], buf, sizeof buf);
        if (request != nullptr)
            *request = n > 0 ? std::string(buf, n) : "";
        close(sv[0]);
        close(sv[1]);
        return r;
    }

    std::vector<std::string> addresses()
    {
        std::vector<std::string> out;
        for (mesh_node *n = mesh.nodes; n != nullptr; n = n->next)
            out.push_back(n->address);
        return out;
    }

    std::string stderr_;
};

TEST_F(node_list, example_list_adds_one_node_with_its_numbers)
{
    std::string req;
    EXPECT_EQ(fetch("UN a b 198.51.100.7 7000 12\nUO\n", &req), 1);
    EXPECT_EQ(req, "UN v2\r\n");
    mesh_node *n = mesh_find("198.51.100.7");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->short_no, 7000);
    EXPECT_EQ(n->node_no, 12);
    EXPECT_EQ(n->last_seen, fake_now);
    EXPECT_TRUE(test_util::logged.empty());

    // Fields split at any blank; numbers read as atoi does, the short one in 16 bits.
    mesh_reset();
    mesh.ops.now = now_fn;
    EXPECT_EQ(fetch("UN x y\t10.0.0.1 \t 70000\r -5junk extra\r\n"
                    "UN 1 2 10.0.0.2 abc 7x 8 9 10 11 12 13 14 15 16 17 18\r\n"
                    "UO\r\n"),
              2);
    mesh_node *a = mesh_find("10.0.0.1");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->short_no, 70000 & 0xffff); // kept in 16 bits
    EXPECT_EQ(a->node_no, -5);
    mesh_node *b = mesh_find("10.0.0.2");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->short_no, 0);
    EXPECT_EQ(b->node_no, 7);
}

// Lines that end the list, and lines that are skipped while the list goes on.
TEST_F(node_list, bad_lines_end_the_list_or_are_skipped_without_harm)
{
    const std::string good = "UN a b 10.0.0.1 1 1\n";
    const std::string later = "UN a b 10.0.0.2 2 2\nUO\n";
    struct {
        std::string line;
        int result;      // of the fetch
        size_t nodes;    // in the table afterwards
        std::string log; // the one line logged, or empty
    } cases[] = {
        {"UX a b 10.0.0.9 9 9\n", -1, 1, "[WARN] Wrong data format: 0x58"},
        {"HTTP/1.0 400 Bad Request\n", -1, 1, ""},
        {"UN a b 10.0.0.9 9\n", 2, 2, "[WARN] Short node line skipped."},
        {"UN\n", 2, 2, "[WARN] Malformed node line skipped."},
        {"UNa b 10.0.0.9 9 9\n", 2, 2, "[WARN] Malformed node line skipped."},
        {"UN a b not-an-address 9 9\n", 2, 2, "[WARN] Node line with a bad address skipped."},
        {std::string("UN a b 10.0.0.9\0 9 9\n", 21), 2, 2, "[WARN] Short node line skipped."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        mesh_reset();
        mesh.ops.now = now_fn;
        test_util::logged.clear();
        EXPECT_EQ(fetch(good + c.line + later), c.result);
        EXPECT_EQ(addresses().size(), c.nodes);
        EXPECT_NE(mesh_find("10.0.0.1"), nullptr);
        EXPECT_EQ(mesh_find("10.0.0.9"), nullptr);
        if (c.log.empty()) {
            EXPECT_TRUE(test_util::logged.empty());
        } else {
            ASSERT_EQ(test_util::logged.size(), 1u);
            EXPECT_EQ(test_util::logged[0].second, c.log);
            EXPECT_EQ(test_util::logged[0].first, LOG_WARNING);
        }
    }
}

TEST_F(node_list, the_longest_line_fits_and_a_longer_one_ends_the_list)
{
    // 8191 bytes with the newline: the buffer's size less the NUL.
    std::string longest = "UN a b 10.0.0.1 1 1";
    longest += std::string(ODR_LINE_MAX - 2 - longest.size(), ' ') + "\n";
    ASSERT_EQ(longest.size(), ODR_LINE_MAX - 1);
    EXPECT_EQ(fetch(longest + "UO\n"), 1);

    mesh_reset();
    mesh.ops.now = now_fn;
    std::string over = "UN a b 10.0.0.2 2 2 " + std::string(20000, 'x') + " 10.0.0.3\n";
    EXPECT_EQ(fetch("UN a b 10.0.0.4 4 4\n" + over + "UN a b 10.0.0.5 5 5\nUO\n"), -1);
    EXPECT_EQ(addresses(), (std::vector<std::string>{"10.0.0.4"}));
    EXPECT_TRUE(test_util::has_line(LOG_WARNING,
                                    "[WARN] Node list line longer than 8191 bytes, list ends."));
}

TEST_F(node_list, a_service_that_closes_mid_line_ends_the_fetch)
{
    EXPECT_EQ(fetch("UN a b 10.0.0.1 1 1\nUN a b 10.0"), -1);
    EXPECT_EQ(addresses(), (std::vector<std::string>{"10.0.0.1"}));
    EXPECT_EQ(stderr_, "ODR_read() error\n");
    EXPECT_EQ(fetch(""), -1); // closed before the first byte
}

} // namespace
