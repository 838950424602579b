#include "segment.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <thread>

namespace sim {

Segment::Segment(std::size_t bytes)
{
    id_ = shmget(IPC_PRIVATE, bytes, 0600 | IPC_CREAT);
    if (id_ < 0) {
        std::fprintf(stderr, "sim: shmget(%zu bytes): %s\n", bytes, std::strerror(errno));
        std::abort();
    }
    void* address = shmat(id_, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        std::fprintf(stderr, "sim: shmat(%d): %s\n", id_, std::strerror(errno));
        shmctl(id_, IPC_RMID, nullptr);
        std::abort();
    }
    std::memset(address, 0, bytes);
    block_ = static_cast<ControlBlock*>(address);
}

Segment::~Segment()
{
    if (block_)
        shmdt(block_);
    // The segment lives on until every daemon attached to it has gone; no
    // new process can attach it after this.
    if (id_ >= 0 && !released_)
        shmctl(id_, IPC_RMID, nullptr);
}

void Segment::release()
{
    if (id_ >= 0 && !released_)
        shmctl(id_, IPC_RMID, nullptr);
    released_ = true;
}

void Segment::setPath(char (&field)[pathFieldSize], std::string_view path)
{
    std::size_t n = path.size() < pathFieldSize - 1 ? path.size() : pathFieldSize - 1;
    std::memset(field, 0, pathFieldSize);
    std::memcpy(field, path.data(), n);
}

bool Segment::waitFor(const Word& word, uint32_t value, std::chrono::milliseconds timeout) const
{
    return waitUntil([&] { return readWord(word) == value; }, timeout);
}

bool Segment::waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(200us);
    }
}

} // namespace sim
