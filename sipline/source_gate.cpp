#include "source_gate.h"

#include <cstring>
#include <netinet/in.h>

namespace sipline {

Endpoint Endpoint::of(const sockaddr* sa)
{
    Endpoint e;
    if (sa && sa->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
        e.family = AF_INET;
        std::memcpy(e.address.data(), &in->sin_addr, 4);
        e.port = ntohs(in->sin_port);
    } else if (sa && sa->sa_family == AF_INET6) {
        const auto* in = reinterpret_cast<const sockaddr_in6*>(sa);
        e.port = ntohs(in->sin6_port);
        // An IPv4 sender as a dual-stack socket shows it is that IPv4 address.
        if (IN6_IS_ADDR_V4MAPPED(&in->sin6_addr)) {
            e.family = AF_INET;
            std::memcpy(e.address.data(), in->sin6_addr.s6_addr + 12, 4);
        } else {
            e.family = AF_INET6;
            std::memcpy(e.address.data(), &in->sin6_addr, 16);
        }
    }
    return e;
}

void SourceGate::expect(const Endpoint& far)
{
    if (far == expected_)
        return;
    expected_ = far;
    learnt_ = {};
}

bool SourceGate::admit(const Endpoint& from)
{
    if (from.family == 0) {
        ++refused_;
        return false;
    }
    if (from == expected_ || learnt_.family == 0) {
        learnt_ = from;
        return true;
    }
    if (from == learnt_)
        return true;
    ++refused_;
    return false;
}

} // namespace sipline
