// Which calls the test-only fault library makes fail, and when.
//
// The rules come from one environment variable, ORVEX_FAULTS, as a list of
// rules separated by ';', each a list of key=value pairs separated by ',':
//
//   call=fwrite,path=out.tape,after=3,errno=ENOSPC
//   call=read,fd=4,count=500,errno=EAGAIN;call=fork,after=1
//
//   call   fork, read, write, select, fwrite, fread or open (required)
//   fd     only calls on this descriptor (select: the descriptor in a set;
//          fwrite/fread: the stream's descriptor)
//   path   only calls on a file whose name contains this text (open; for
//          fwrite/fread the name behind the stream's descriptor)
//   after  matching calls that succeed before the first fault (default 0)
//   count  faults injected, then the call works again (default: no end)
//   errno  the error of a failed call, by name or number (default EIO)
//   short  instead of failing, move at most this many bytes
//   signal instead of failing, raise this signal (a crash at a known point)
//   in     only in the process made by the n-th successful fork of its
//          parent (0: the process started with the rules)
//
// The parsing and the decision are plain functions so they are tested without
// preloading anything; faults.cpp wires them to the real calls.
#pragma once

#include <cstdint>
#include <sys/select.h>

namespace faults {

enum class Call : uint8_t { None, Fork, Read, Write, Select, Fwrite, Fread, Open };

inline constexpr int maxRules = 8;
inline constexpr int maxPath = 160;

struct Rule {
    Call call = Call::None;
    int fd = -1;             // -1: any
    char path[maxPath] = {}; // empty: any
    long after = 0;
    long count = -1;         // -1: no end
    int error = 5;           // EIO
    long shortCount = -1;    // -1: fail instead
    int signal = 0;
    int processIndex = -1;   // -1: any process

    long seen = 0;           // matching calls so far (successes and faults)
    long injected = 0;
};

struct RuleSet {
    Rule rules[maxRules];
    int size = 0;
};

// Parses text into set; false (with set->size 0) on any unknown key or call,
// so a typing error in a test shows up instead of a fault that never fires.
bool parseRules(const char* text, RuleSet* set);

// The error number for a name such as "EAGAIN", or a decimal number; -1 if unknown.
int errorNumber(const char* text);

enum class Action : uint8_t { Pass, Fail, Short, Raise };

struct Decision {
    Action action = Action::Pass;
    int error = 0;
    long shortCount = 0;
    int signal = 0;
    int rule = -1; // index of the rule that fired
};

// What a call works on: a descriptor (-1 if none), for select the sets, and
// the name of the file (may be null).
struct Target {
    int fd = -1;
    int nfds = 0;
    const fd_set* readSet = nullptr;
    const fd_set* writeSet = nullptr;
    const char* path = nullptr;
};

// One call of kind `call` made in the process with processIndex: the first
// rule that matches counts the call and decides.  Rules that do not match
// are left untouched.
Decision decide(RuleSet& set, Call call, const Target& target, int processIndex);

const char* callName(Call call);

} // namespace faults
