#include "source_gate.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace sipline {
namespace {

Endpoint v4(const char* address, uint16_t port)
{
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    inet_pton(AF_INET, address, &in.sin_addr);
    return Endpoint::of(reinterpret_cast<const sockaddr*>(&in));
}

Endpoint v6(const char* address, uint16_t port)
{
    sockaddr_in6 in{};
    in.sin6_family = AF_INET6;
    in.sin6_port = htons(port);
    inet_pton(AF_INET6, address, &in.sin6_addr);
    return Endpoint::of(reinterpret_cast<const sockaddr*>(&in));
}

TEST(SourceGate, TakesTheNamedAddressAndShutsOutStrangers)
{
    SourceGate gate;
    gate.expect(v4("192.0.2.10", 4000));
    EXPECT_TRUE(gate.admit(v4("192.0.2.10", 4000)));
    EXPECT_FALSE(gate.admit(v4("192.0.2.66", 4000))) << "another host";
    EXPECT_FALSE(gate.admit(v4("192.0.2.10", 4002))) << "another port of the same host";
    EXPECT_FALSE(gate.admit(v6("::ffff:192.0.2.10", 4000))) << "another family";
    EXPECT_TRUE(gate.admit(v4("192.0.2.10", 4000)));
    EXPECT_EQ(gate.refused(), 3u);
}

// Behind a NAT the far end sends from an address its description does not
// name: the first sender is learnt, and a stranger that beat the far end to
// it loses it as soon as the named address is heard.
TEST(SourceGate, LearnsANattedSenderButTheNamedAddressTakesOver)
{
    SourceGate gate;
    gate.expect(v4("10.0.0.5", 4000));
    EXPECT_TRUE(gate.admit(v4("198.51.100.7", 31000)));
    EXPECT_TRUE(gate.admit(v4("198.51.100.7", 31000)));
    EXPECT_FALSE(gate.admit(v4("198.51.100.8", 31000)));

    gate.expect(v6("2001:db8::1", 5000));
    EXPECT_TRUE(gate.admit(v4("203.0.113.9", 9))) << "a new address forgets what was learnt";
    EXPECT_TRUE(gate.admit(v6("2001:db8::1", 5000)));
    EXPECT_FALSE(gate.admit(v4("203.0.113.9", 9))) << "the named address took over";
    gate.expect(v6("2001:db8::1", 5000)); // a re-INVITE that keeps the address
    EXPECT_FALSE(gate.admit(v4("203.0.113.9", 9)));

    sockaddr other{};
    other.sa_family = AF_UNIX;
    EXPECT_EQ(Endpoint::of(&other).family, 0);
    EXPECT_FALSE(gate.admit(Endpoint::of(&other)));
    EXPECT_EQ(gate.refused(), 4u);
}

} // namespace
} // namespace sipline
