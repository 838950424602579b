#include "live_caller.h"

#include <algorithm>
#include <random>

namespace kit {

using namespace std::chrono_literals;

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> b(n);
    for (uint8_t& x : b)
        x = static_cast<uint8_t>(random());
    return b;
}

std::vector<uint8_t> fakeSpeech(const std::string& text)
{
    uint32_t h = 0;
    for (unsigned char c : text)
        h = h * 31 + c;
    return randomBytes(400 + 8 * text.size(), h);
}

void LiveCaller::start()
{
    streaming_ = true;
    streamer_ = std::thread([this] {
        const std::vector<uint8_t> silence(80, 0xFF);
        while (streaming_) {
            std::vector<uint8_t> next;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!outbox_.empty()) {
                    next = std::move(outbox_.front());
                    outbox_.pop_front();
                }
            }
            bool last = next.size() == 2 && next[0] == sim::DLE && next[1] == sim::ETX;
            if (!line_.sendRaw(next.empty() ? silence : next) || last)
                return;
            if (next.empty())
                std::this_thread::sleep_for(10ms);
        }
    });
}

void LiveCaller::stop()
{
    streaming_ = false;
    if (streamer_.joinable())
        streamer_.join();
}

void LiveCaller::send(std::vector<uint8_t> raw)
{
    std::lock_guard<std::mutex> lock(mutex_);
    outbox_.push_back(std::move(raw));
}

void LiveCaller::keys(const std::string& keys)
{
    for (char k : keys)
        send({sim::DLE, static_cast<uint8_t>(k)});
}

bool LiveCaller::sent(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (outbox_.empty())
                return true;
        }
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

bool LiveCaller::heard(const std::vector<uint8_t>& bytes, std::chrono::milliseconds timeout) const
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        std::vector<uint8_t> got = line_.received();
        if (std::search(got.begin(), got.end(), bytes.begin(), bytes.end()) != got.end())
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

} // namespace kit
