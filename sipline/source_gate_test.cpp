#include "source_gate.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>

namespace sipline {
namespace {

// An IPv4 or IPv6 address (by its colons) and port, as the socket gives it.
Endpoint at(const char* address, uint16_t port)
{
    sockaddr_storage storage{};
    if (strchr(address, ':')) {
        auto* in = reinterpret_cast<sockaddr_in6*>(&storage);
        in->sin6_family = AF_INET6;
        in->sin6_port = htons(port);
        inet_pton(AF_INET6, address, &in->sin6_addr);
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        inet_pton(AF_INET, address, &in->sin_addr);
    }
    return Endpoint::of(reinterpret_cast<const sockaddr*>(&storage));
}

TEST(SourceGate, TakesTheNamedAddressAndShutsOutStrangers)
{
    SourceGate gate;
    gate.expect(at("127.0.0.10", 4000));
    EXPECT_TRUE(gate.admit(at("127.0.0.10", 4000)));
    EXPECT_FALSE(gate.admit(at("127.0.0.66", 4000))) << "another host";
    EXPECT_FALSE(gate.admit(at("127.0.0.10", 4002))) << "another port of the same host";
    EXPECT_FALSE(gate.admit(at("::2", 4000))) << "another family";
    EXPECT_TRUE(gate.admit(at("::ffff:127.0.0.10", 4000))) << "the same sender, as a dual-stack socket shows it";
    EXPECT_TRUE(gate.admit(at("127.0.0.10", 4000)));
    EXPECT_EQ(gate.refused(), 3u);
}

// Behind a NAT the far end sends from an address its description does not
// name: the first sender is learnt, and a stranger that beat the far end to
// it loses it as soon as the named address is heard.
TEST(SourceGate, LearnsANattedSenderButTheNamedAddressTakesOver)
{
    SourceGate gate;
    gate.expect(at("127.0.0.5", 4000));
    EXPECT_TRUE(gate.admit(at("127.0.1.7", 31000)));
    EXPECT_TRUE(gate.admit(at("127.0.1.7", 31000)));
    EXPECT_FALSE(gate.admit(at("127.0.1.8", 31000)));

    gate.expect(at("::1", 5000));
    EXPECT_TRUE(gate.admit(at("127.0.2.9", 9))) << "a new address forgets what was learnt";
    EXPECT_TRUE(gate.admit(at("::1", 5000)));
    EXPECT_FALSE(gate.admit(at("127.0.2.9", 9))) << "the named address took over";
    gate.expect(at("::1", 5000)); // a re-INVITE that keeps the address
    EXPECT_FALSE(gate.admit(at("127.0.2.9", 9)));

    sockaddr other{};
    other.sa_family = AF_UNIX;
    EXPECT_EQ(Endpoint::of(&other).family, 0);
    EXPECT_FALSE(gate.admit(Endpoint::of(&other)));
    EXPECT_EQ(gate.refused(), 4u);
}

} // namespace
} // namespace sipline
