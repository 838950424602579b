#include "fault_rules.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace faults {

namespace {

struct Named {
    const char* name;
    int value;
};

constexpr Named errorNames[] = {
    {"EIO", EIO},       {"EAGAIN", EAGAIN}, {"EINTR", EINTR},   {"EBADF", EBADF},   {"EINVAL", EINVAL},
    {"ENOSPC", ENOSPC}, {"EFBIG", EFBIG},   {"EPIPE", EPIPE},   {"ENOMEM", ENOMEM}, {"EAGAIN", EAGAIN},
    {"EACCES", EACCES}, {"ENOENT", ENOENT}, {"EPERM", EPERM},   {"ENXIO", ENXIO},   {"EDQUOT", EDQUOT},
    {"EMFILE", EMFILE}, {"ENFILE", ENFILE}, {"ELOOP", ELOOP},
};

constexpr struct {
    const char* name;
    Call call;
} callNames[] = {
    {"fork", Call::Fork},     {"read", Call::Read},   {"write", Call::Write}, {"select", Call::Select},
    {"fwrite", Call::Fwrite}, {"fread", Call::Fread}, {"open", Call::Open},
};

// A decimal number that fills the whole text.
bool number(const char* text, long* value)
{
    if (*text == '\0')
        return false;
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (*end != '\0' || errno != 0)
        return false;
    *value = v;
    return true;
}

bool setField(Rule& rule, const char* key, const char* value)
{
    long n = 0;
    if (strcmp(key, "call") == 0) {
        for (const auto& c : callNames)
            if (strcmp(value, c.name) == 0) {
                rule.call = c.call;
                return true;
            }
        return false;
    }
    if (strcmp(key, "path") == 0) {
        size_t len = strlen(value);
        if (len == 0 || len >= maxPath)
            return false;
        memcpy(rule.path, value, len + 1);
        return true;
    }
    if (strcmp(key, "errno") == 0) {
        rule.error = errorNumber(value);
        return rule.error > 0;
    }
    if (strcmp(key, "signal") == 0) {
        if (strcmp(value, "KILL") == 0)
            n = SIGKILL;
        else if (!number(value, &n) || n <= 0 || n >= NSIG)
            return false;
        rule.signal = static_cast<int>(n);
        return true;
    }
    if (!number(value, &n) || n < 0)
        return false;
    if (strcmp(key, "fd") == 0)
        rule.fd = static_cast<int>(n);
    else if (strcmp(key, "after") == 0)
        rule.after = n;
    else if (strcmp(key, "count") == 0)
        rule.count = n;
    else if (strcmp(key, "short") == 0)
        rule.shortCount = n;
    else if (strcmp(key, "in") == 0)
        rule.processIndex = static_cast<int>(n);
    else
        return false;
    return true;
}

bool parseRule(char* text, Rule& rule)
{
    char* save = nullptr;
    for (char* pair = strtok_r(text, ",", &save); pair; pair = strtok_r(nullptr, ",", &save)) {
        char* eq = strchr(pair, '=');
        if (!eq)
            return false;
        *eq = '\0';
        if (!setField(rule, pair, eq + 1))
            return false;
    }
    return rule.call != Call::None;
}

bool fdMatches(const Rule& rule, Call call, const Target& t)
{
    if (rule.fd < 0)
        return true;
    if (call != Call::Select)
        return t.fd == rule.fd;
    if (rule.fd >= t.nfds || rule.fd >= FD_SETSIZE)
        return false;
    return (t.readSet && FD_ISSET(rule.fd, t.readSet)) || (t.writeSet && FD_ISSET(rule.fd, t.writeSet));
}

bool matches(const Rule& rule, Call call, const Target& t, int processIndex)
{
    if (rule.call != call)
        return false;
    if (rule.processIndex >= 0 && rule.processIndex != processIndex)
        return false;
    if (!fdMatches(rule, call, t))
        return false;
    if (rule.path[0] != '\0' && (!t.path || !strstr(t.path, rule.path)))
        return false;
    return true;
}

} // namespace

int errorNumber(const char* text)
{
    for (const auto& e : errorNames)
        if (strcmp(text, e.name) == 0)
            return e.value;
    long n = 0;
    if (number(text, &n) && n > 0 && n < 4096)
        return static_cast<int>(n);
    return -1;
}

bool parseRules(const char* text, RuleSet* set)
{
    *set = RuleSet{};
    char copy[1024];
    size_t len = strlen(text);
    if (len >= sizeof copy)
        return false;
    memcpy(copy, text, len + 1);
    char* save = nullptr;
    for (char* one = strtok_r(copy, ";", &save); one; one = strtok_r(nullptr, ";", &save)) {
        if (set->size == maxRules || !parseRule(one, set->rules[set->size])) {
            *set = RuleSet{};
            return false;
        }
        ++set->size;
    }
    return set->size > 0;
}

Decision decide(RuleSet& set, Call call, const Target& target, int processIndex)
{
    Decision d;
    for (int i = 0; i < set.size; ++i) {
        Rule& r = set.rules[i];
        if (!matches(r, call, target, processIndex))
            continue;
        long index = r.seen++;
        if (index < r.after || (r.count >= 0 && r.injected >= r.count))
            return d;
        ++r.injected;
        d.rule = i;
        d.error = r.error;
        if (r.signal) {
            d.action = Action::Raise;
            d.signal = r.signal;
        } else if (r.shortCount >= 0) {
            d.action = Action::Short;
            d.shortCount = r.shortCount;
        } else {
            d.action = Action::Fail;
        }
        return d;
    }
    return d;
}

const char* callName(Call call)
{
    for (const auto& c : callNames)
        if (c.call == call)
            return c.name;
    return "none";
}

} // namespace faults
