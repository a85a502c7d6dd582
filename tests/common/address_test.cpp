// The address type: reading literals, telling names from shorthand, texts.
#include "common/address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

struct LiteralCase {
    const char* text;
    const char* address; // its text, or nullptr when refused
};

TEST(AddressText, LiteralsOfBothFamiliesAndNothingShort) {
    const LiteralCase cases[] = {
        {"192.0.2.7", "192.0.2.7"},
        {"2001:0db8:0:0::1", "2001:db8::1"},
        {"::", "::"},
        {"::ffff:127.0.0.1", "127.0.0.1"}, // an IPv4 client of ::
        {"192.168.10", nullptr},
        {"0x7f.1", nullptr},
        {"10.0.0.05", nullptr},
        {"localhost", nullptr},
        {"FE80::0:7%1", "fe80::7%lo"}, // a link-local address names its interface
        {"fe80::7%nosuch9", nullptr},
        {"fe80::7%", nullptr},
        {"127.0.0.1%lo", nullptr},
        {"", nullptr},
    };
    for (const LiteralCase& c : cases) {
        SCOPED_TRACE(c.text);
        tindrel::NetAddress a;
        ASSERT_EQ(tindrel::parseAddress(c.text, a), c.address != nullptr);
        if (c.address) {
            EXPECT_EQ(tindrel::addressText(a), c.address);
        }
    }
}

TEST(AddressText, HostNamesAreNeverNumericShorthand) {
    for (const char* name : {"printer", "lp-3.office.example", "printer.example."})
        EXPECT_TRUE(tindrel::validHostName(name)) << name;
    for (const char* name : {"0x7f000001", "0x7f.1", "192.168.10", "017700000001", "print_er",
                             "-lp.example", "a..b", ""})
        EXPECT_FALSE(tindrel::validHostName(name)) << name;
}

TEST(AddressText, EndpointPutsIpv6InBrackets) {
    tindrel::NetAddress a;
    ASSERT_TRUE(tindrel::parseAddress("::1", a));
    a.port = htons(9100);
    EXPECT_EQ(tindrel::endpointText(a), "[::1]:9100");
    ASSERT_TRUE(tindrel::parseAddress("127.0.0.1", a));
    a.port = htons(9100);
    EXPECT_EQ(tindrel::endpointText(a), "127.0.0.1:9100");
}

} // namespace
