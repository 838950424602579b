#include "transcript.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace callctl {

Transcript::Transcript() : start_(Clock::now()) {}

double Transcript::elapsed() const
{
    return std::chrono::duration<double>(Clock::now() - start_).count();
}

void Transcript::add(const std::string& source, const std::string& text)
{
    std::lock_guard lock(mutex_);
    entries_.push_back({elapsed(), source, text});
    if (echo_) {
        // On a terminal the line goes above the live status line, which is
        // redrawn after it.
        const char* clear = isatty(fileno(echo_)) ? "\r\x1b[K" : "";
        fprintf(echo_, "%s%s\n", clear, format(entries_.back()).c_str());
    }
}

std::vector<Transcript::Entry> Transcript::entries() const
{
    std::lock_guard lock(mutex_);
    return entries_;
}

void Transcript::echoTo(FILE* stream)
{
    std::lock_guard lock(mutex_);
    echo_ = stream;
}

std::string Transcript::format(const Entry& e)
{
    char head[64];
    snprintf(head, sizeof head, "[%8.3f] %-18s ", e.seconds, e.source.c_str());
    return head + e.text;
}

bool Transcript::write(const std::string& path, std::string* error) const
{
    FILE* f = fopen(path.c_str(), "w");
    if (!f) {
        *error = "can't create " + path + ": " + strerror(errno);
        return false;
    }
    for (const auto& e : entries())
        fprintf(f, "%s\n", format(e).c_str());
    if (fclose(f) != 0) {
        *error = "can't write " + path + ": " + strerror(errno);
        return false;
    }
    return true;
}

} // namespace callctl
