#include "command_line.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace callctl {

namespace {

const OptionRule* findRule(const std::vector<OptionRule>& rules, std::string_view name)
{
    for (const auto& s : rules)
        if (s.name == name)
            return &s;
    return nullptr;
}

} // namespace

bool scanArguments(const std::vector<std::string>& args, const std::vector<OptionRule>& rules, ScannedArgs* out,
                   std::string* error)
{
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            out->positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            out->help = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            inlineValue = arg.substr(eq + 1);
        }
        const OptionRule* rule = findRule(rules, name);
        if (!rule) {
            *error = "unknown option '" + arg + "'";
            return false;
        }
        if (!rule->takesValue) {
            if (inlineValue) {
                *error = "option '" + name + "' takes no value";
                return false;
            }
            out->values[name] = "";
            continue;
        }
        if (inlineValue) {
            out->values[name] = *inlineValue;
        } else if (i + 1 < args.size()) {
            out->values[name] = args[++i];
        } else {
            *error = "option '" + name + "' needs a value";
            return false;
        }
    }
    return true;
}

bool parseNumber(std::string_view option, std::string_view text, long low, long high, long* out, std::string* error)
{
    std::string s(text);
    char* end = nullptr;
    errno = 0;
    // strtol would skip leading blanks; a value given with one is a typing slip.
    bool startsWell = !s.empty() && (isdigit(static_cast<unsigned char>(s[0])) || s[0] == '-' || s[0] == '+');
    long v = startsWell ? strtol(s.c_str(), &end, 10) : 0;
    if (!startsWell || *end != '\0' || errno == ERANGE || v < low || v > high) {
        *error = std::string(option) + ": '" + s + "' is not a whole number from " + std::to_string(low) + " to " +
                 std::to_string(high);
        return false;
    }
    *out = v;
    return true;
}

bool parseSeconds(std::string_view option, std::string_view text, double low, double high, double* out,
                  std::string* error)
{
    std::string s(text);
    char* end = nullptr;
    errno = 0;
    bool startsWell = !s.empty() && (isdigit(static_cast<unsigned char>(s[0])) || s[0] == '.');
    double v = startsWell ? strtod(s.c_str(), &end) : 0;
    if (!startsWell || *end != '\0' || errno == ERANGE || !std::isfinite(v) || v < low || v > high) {
        char range[64];
        snprintf(range, sizeof range, "%g to %g", low, high);
        *error = std::string(option) + ": '" + s + "' is not a number of seconds from " + range;
        return false;
    }
    *out = v;
    return true;
}

bool has(const ScannedArgs& a, const std::string& option)
{
    return a.values.count(option) != 0;
}

std::string valueOr(const ScannedArgs& a, const std::string& option, const std::string& fallback)
{
    auto it = a.values.find(option);
    return it == a.values.end() ? fallback : it->second;
}

} // namespace callctl
