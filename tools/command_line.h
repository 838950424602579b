// Option scanning shared by every callctl command.
//
// A command declares the options it knows; scanning splits the arguments
// into option values and positional words and reports the first mistake as
// one message that names the bad value.  Nothing here prints or exits: the
// command decides (usage errors end with status 2).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace callctl {

inline constexpr int exitOk = 0;
inline constexpr int exitFailure = 1;
inline constexpr int exitUsage = 2;

struct OptionRule {
    std::string_view name;   // "--chunk"
    bool takesValue;         // "--chunk 160" or "--chunk=160"
};

struct ScannedArgs {
    std::map<std::string, std::string> values; // option -> value ("" for a switch)
    std::vector<std::string> positional;
    bool help = false;                         // --help or -h was given
};

// Returns false with *error set on an unknown option or a missing value.
// "--" ends the options.
bool scanArguments(const std::vector<std::string>& args, const std::vector<OptionRule>& rules, ScannedArgs* out,
                   std::string* error);

// Whole decimal number within [low, high]; the error names the option and
// the text as given.
bool parseNumber(std::string_view option, std::string_view text, long low, long high, long* out, std::string* error);

// Seconds with an optional fraction ("2", "0.5"), within [low, high].
bool parseSeconds(std::string_view option, std::string_view text, double low, double high, double* out,
                  std::string* error);

// Helpers over ScannedArgs that keep the command code short.
bool has(const ScannedArgs& a, const std::string& option);
std::string valueOr(const ScannedArgs& a, const std::string& option, const std::string& fallback);

} // namespace callctl
