#include "proc_stats.h"

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace bench {

std::string readFile(const std::string& path)
{
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

namespace {

std::optional<uint64_t> leadingNumber(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    if (i == text.size() || text[i] < '0' || text[i] > '9')
        return std::nullopt;
    uint64_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
    return v;
}

} // namespace

std::optional<uint64_t> parseSchedstat(std::string_view text) { return leadingNumber(text); }

std::optional<uint64_t> runTimeNs(pid_t pid)
{
    return parseSchedstat(readFile("/proc/" + std::to_string(pid) + "/schedstat"));
}

std::optional<SchedStat> parseSchedstatFields(std::string_view text)
{
    uint64_t fields[3];
    for (int i = 0; i < 3; ++i) {
        auto v = leadingNumber(text);
        if (!v)
            return std::nullopt;
        fields[i] = *v;
        size_t space = text.find(' ');
        text.remove_prefix(space == std::string_view::npos ? text.size() : space + 1);
    }
    return SchedStat{fields[0], fields[1], fields[2]};
}

std::optional<SchedStat> schedStat(pid_t pid)
{
    return parseSchedstatFields(readFile("/proc/" + std::to_string(pid) + "/schedstat"));
}

std::optional<uint64_t> parseTimeslices(std::string_view text)
{
    auto s = parseSchedstatFields(text);
    return s ? std::optional<uint64_t>(s->timeslices) : std::nullopt;
}

std::optional<uint64_t> timeslices(pid_t pid)
{
    return parseTimeslices(readFile("/proc/" + std::to_string(pid) + "/schedstat"));
}

uint64_t ownRunTimeNs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

std::optional<uint64_t> fieldKib(std::string_view text, std::string_view name)
{
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(at, end - at);
        if (line.size() > name.size() && line.substr(0, name.size()) == name && line[name.size()] == ':')
            return leadingNumber(line.substr(name.size() + 1));
        at = end + 1;
    }
    return std::nullopt;
}

std::optional<MemoryUse> memoryUse(pid_t pid)
{
    std::string base = "/proc/" + std::to_string(pid);
    std::string status = readFile(base + "/status");
    std::string rollup = readFile(base + "/smaps_rollup");
    auto hwm = fieldKib(status, "VmHWM");
    auto anon = fieldKib(rollup, "Anonymous");
    auto dirty = fieldKib(rollup, "Private_Dirty");
    if (!hwm || !anon || !dirty)
        return std::nullopt;
    return MemoryUse{*hwm, *anon, *dirty};
}

std::vector<pid_t> parsePidList(std::string_view text)
{
    std::vector<pid_t> pids;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] < '0' || text[i] > '9'))
            ++i;
        if (i == text.size())
            break;
        auto v = leadingNumber(text.substr(i));
        pids.push_back(static_cast<pid_t>(*v));
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i;
    }
    return pids;
}

std::vector<pid_t> childrenOf(pid_t pid)
{
    std::string p = std::to_string(pid);
    return parsePidList(readFile("/proc/" + p + "/task/" + p + "/children"));
}

std::string cpuModel()
{
    std::string info = readFile("/proc/cpuinfo");
    size_t at = info.find("model name");
    if (at == std::string::npos)
        return "unknown";
    size_t colon = info.find(':', at);
    size_t end = info.find('\n', at);
    if (colon == std::string::npos || colon > end)
        return "unknown";
    size_t start = info.find_first_not_of(' ', colon + 1);
    return info.substr(start, end - start);
}

} // namespace bench
