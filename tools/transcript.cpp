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
    if (file_)
        fprintf(file_, "%s\n", format(entries_.back()).c_str());
    if (echo_ && (echoEverything_ || worthShowing(entries_.back()))) {
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

void Transcript::echoTo(FILE* stream, bool everything)
{
    std::lock_guard lock(mutex_);
    echo_ = stream;
    echoEverything_ = everything;
}

bool Transcript::worthShowing(const Entry& e)
{
    if (e.source == "callctl")
        // callctl's own bookkeeping is for the record, not for the person.
        return e.text.rfind("start ", 0) != 0 && e.text.rfind("line ", 0) != 0 &&
               e.text.find(" ended with status ") == std::string::npos &&
               e.text.rfind("control block in segment", 0) != 0 && e.text.rfind("segment ", 0) != 0;
    return e.text.find("Touchtone") != std::string::npos;
}

bool Transcript::follow(const std::string& path, std::string* error)
{
    FILE* f = fopen(path.c_str(), "w");
    if (!f) {
        *error = "can't create " + path + ": " + strerror(errno);
        return false;
    }
    setvbuf(f, nullptr, _IOLBF, 0);
    std::lock_guard lock(mutex_);
    for (const auto& e : entries_)
        fprintf(f, "%s\n", format(e).c_str());
    file_ = f;
    filePath_ = path;
    return true;
}

bool Transcript::stopFollowing(std::string* error)
{
    std::lock_guard lock(mutex_);
    if (!file_)
        return true;
    bool ok = !ferror(file_);
    ok = fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (!ok)
        *error = "can't write " + filePath_ + ": " + strerror(errno);
    return ok;
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
