// Whose RTP a call takes.  Anyone who can reach the port can send to it;
// only the far end may be heard.  That is the address its description
// names, or, behind a NAT that rewrites the address, the first other one
// that sends; after that no other.  The named address, once it sends, takes
// over from one learnt, so a stranger that sent first is shut out again.
#pragma once

#include <array>
#include <cstdint>
#include <sys/socket.h>

namespace sipline {

struct Endpoint {
    int family = 0; // AF_INET or AF_INET6; 0 for none
    std::array<uint8_t, 16> address{};
    uint16_t port = 0;

    bool operator==(const Endpoint&) const = default;
    // Of an AF_INET or AF_INET6 address; none for anything else.
    static Endpoint of(const sockaddr* sa);
};

class SourceGate {
public:
    // The far end's description names `far` (a new call, or a re-INVITE
    // that moves the media): what was learnt for another address goes.
    void expect(const Endpoint& far);
    // Whether a packet from `from` is the far end's.
    bool admit(const Endpoint& from);
    uint64_t refused() const { return refused_; }

private:
    Endpoint expected_;
    Endpoint learnt_;
    uint64_t refused_ = 0;
};

} // namespace sipline
