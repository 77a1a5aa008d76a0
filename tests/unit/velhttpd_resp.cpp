// velhttpd's response descriptions: tokens, the option groups with their
// order rule, the generated body, and the exact bytes of a response.
#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "test_util.h"
#include "velhttpd_resp.h"
#include "vlog.h"
#include "vsb.h"

using test_util::logged;

namespace
{
std::string synth(const char *len)
{
    size_t l = 0;
    const char *err = nullptr;
    char *b = synth_body(len, &l, &err);
    if (b == nullptr)
        return "ERR";
    std::string s(b, l);
    std::free(b);
    return s;
}

// The response for a description, or "-1" when it is refused.
std::string respond(const char *desc)
{
    std::vector<std::string> tokens;
    const char *err = nullptr;
    if (parse_string(desc, &tokens, &err) < 0)
        return "-1";
    struct vsb *vsb = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    int r = httpd_txresp_build(tokens, vsb, &err);
    EXPECT_EQ(VSB_finish(vsb), 0);
    std::string out(VSB_data(vsb), static_cast<size_t>(VSB_len(vsb)));
    VSB_delete(vsb);
    return r == 0 ? out : "-1";
}
} // namespace

TEST(ParseString, Tokens)
{
    using sv = std::vector<std::string>;
    std::string t199;
    for (int i = 0; i < 199; i++)
        t199 += "t ";
    const struct {
        std::string text;
        int result;
        sv tokens;
    } rows[] = {
        {" a\tb \r\n c ", 3, {"a", "b", "c"}},
        {"  # comment\n-x y\n\t#more\nz", 3, {"-x", "y", "z"}},
        {"a # b#", 3, {"a", "#", "b#"}},
        {"-msg \"Not Found\" x", 3, {"-msg", "Not Found", "x"}},
        {"\"a\\tb\\\"c\\x41\\101\\q\"", 1, {"a\tb\"cAA\\q"}},
        {"\"a\\0b\"", 1, {std::string("a\0b", 3)}},
        {"\"\" \"open to the end", 2, {"", "open to the end"}},
        {"{a {b} \"c} d", 2, {"a {b} \"c", "d"}},
        {t199, 199, sv(199, "t")},
        {t199 + "t", -1, {}},
        {"{a {b}", -1, {}},
        {"a ${b}", -1, {}},
        {"\"\\x24{x}\"", -1, {}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text);
        sv tokens;
        const char *err = nullptr;
        ASSERT_EQ(parse_string(r.text.c_str(), &tokens, &err), r.result);
        if (r.result >= 0) {
            EXPECT_EQ(tokens, r.tokens);
        }
    }
}

// Any stretch of a body, made on its own, matches the whole body there: the
// sender makes it piece by piece.
TEST(SynthBody, PiecesMatchTheWholeBody)
{
    for (size_t total : {1ul, 5ul, 63ul, 64ul, 65ul, 130ul, 6000ul, 100000ul}) {
        std::string whole = synth(std::to_string(total).c_str());
        ASSERT_EQ(whole.size(), total);
        for (size_t piece : {1ul, 7ul, 64ul, 4096ul}) {
            std::string made(total, '\0');
            for (size_t off = 0; off < total; off += piece)
                synth_fill(made.data() + off, off, std::min(piece, total - off), total);
            EXPECT_TRUE(made == whole) << total << " in pieces of " << piece;
        }
    }
}

TEST(SynthBody, LinesOfShiftingCharacters)
{
    EXPECT_EQ(synth("5"), "!\"#$\n");
    std::string line1, line2;
    for (int c = 33; c < 33 + 63; c++) {
        line1 += static_cast<char>(c);
        line2 += static_cast<char>(c + 1);
    }
    EXPECT_EQ(synth("130"), line1 + "\n" + line2 + "\n#\n");
    EXPECT_EQ(synth("0x82"), synth("130"));
    EXPECT_EQ(synth("0202"), synth("130"));

    // Characters wrap from "}" to "!" within a line; each line starts one
    // later, wrapping the same way.
    std::string b = synth("65536");
    for (size_t i = 0, want = 33; i < b.size(); i++) {
        if (i % 64 == 0)
            want = 33 + (i / 64) % 93;
        char c = (i % 64 == 63 || i == b.size() - 1) ? '\n' : static_cast<char>(want);
        ASSERT_EQ(b[i], c) << "at byte " << i;
        want = want == 125 ? 33 : want + 1;
    }
    for (const char *bad : {"0", "", "abc", "12abc", "-5", "16777217", "99999999999999999999"})
        EXPECT_EQ(synth(bad), "ERR") << bad;
    EXPECT_EQ(synth("16777216").size(), 16777216u);
}

TEST(TxResp, ResponsesAndTheGroupOrder)
{
    const struct {
        const char *desc;
        std::string response;
        const char *unknown; // token of the "Unknown http txresp spec" line
    } rows[] = {
        {"", "HTTP/1.1 200 Ok\r\nContent-Length: 0\r\n\r\n", nullptr},
        {"-status 404 -msg Not Found", "HTTP/1.1 404 Not\r\nContent-Length: 0\r\n\r\n", "Found"},
        {"-status 404 -msg \"Not Found\"", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n",
         nullptr},
        {"-hdr \"X-Test: 1\" -nolen -body abc", "HTTP/1.1 200 Ok\r\nX-Test: 1\r\n\r\nabc", nullptr},
        {"-bodylen 130", "HTTP/1.1 200 Ok\r\nContent-Length: 130\r\n\r\n" + synth("130"), nullptr},
        {"-body a\\0b", std::string("HTTP/1.1 200 Ok\r\nContent-Length: 3\r\n\r\na\0b", 41),
         nullptr},
        {"-body x -status 500", "HTTP/1.1 200 Ok\r\nContent-Length: 1\r\n\r\nx", "-status"},
        {"-nolen -status 500 -body y", "HTTP/1.1 200 Ok\r\n\r\n", "-status"},
        {"-proto HTTP/1.0 -status 201 -proto HTTP/2 -status 202 -msg A -msg B",
         "HTTP/2 202 B\r\nContent-Length: 0\r\n\r\n", nullptr},
        {"-hdr A:1 -nolen -hdr {B: 2} -body {x y}", "HTTP/1.1 200 Ok\r\nA:1\r\nB: 2\r\n\r\nx y",
         nullptr},
        // Refused: nothing is sent.
        {"-bodylen 0", "-1", nullptr},
        {"-bodylen 16777217", "-1", nullptr},
        {"-body a -body b", "-1", nullptr},
        {"-bodylen 3 -body b", "-1", nullptr},
        {"-status 1 -hdr", "-1", nullptr},
    };
    VLOG_SetSink(test_util::capture);
    for (const auto &r : rows) {
        SCOPED_TRACE(r.desc);
        logged.clear();
        EXPECT_EQ(respond(r.desc), r.response);
        std::vector<std::pair<int, std::string>> want;
        if (r.unknown != nullptr)
            want.emplace_back(LOG_ERR,
                              std::string("Unknown http txresp spec: ") + r.unknown + "\n");
        EXPECT_EQ(logged, want);
    }
    VLOG_SetSink(nullptr);
}
