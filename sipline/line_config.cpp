#include "agent.h"

#include <sstream>

namespace sipline {

bool parseLineConfig(const std::string& text, std::vector<LineConfig>& out, std::string& error)
{
    std::istringstream in(text);
    std::string row;
    int number = 0;
    while (std::getline(in, row)) {
        number++;
        auto hash = row.find('#');
        if (hash != std::string::npos)
            row.erase(hash);
        std::istringstream words(row);
        LineConfig c;
        std::string kind;
        if (!(words >> c.name) || c.name.rfind("--", 0) == 0)
            continue; // options rows are read by configOptions()
        if (!(words >> c.user >> kind)) {
            error = "line " + std::to_string(number) + ": expected NAME USER link|exec|exec-pty ...";
            return false;
        }
        std::string rest;
        std::getline(words, rest);
        rest.erase(0, rest.find_first_not_of(" \t"));
        rest.erase(rest.find_last_not_of(" \t\r") + 1);
        if (rest.empty()) {
            error = "line " + std::to_string(number) + ": " + kind + " needs a value";
            return false;
        }
        if (kind == "link")
            c.link = rest;
        else if (kind == "exec" || kind == "exec-pty") {
            c.exec = rest;
            c.pty = kind == "exec-pty";
        } else {
            error = "line " + std::to_string(number) + ": unknown kind " + kind;
            return false;
        }
        for (const auto& seen : out)
            if (seen.name == c.name || seen.user == c.user) {
                error = "line " + std::to_string(number) + ": name or user used twice";
                return false;
            }
        out.push_back(c);
    }
    if (out.empty()) {
        error = "no lines";
        return false;
    }
    return true;
}

std::vector<std::string> configOptions(const std::string& text)
{
    std::istringstream in(text);
    std::string row;
    std::vector<std::string> out;
    while (std::getline(in, row)) {
        auto hash = row.find('#');
        if (hash != std::string::npos)
            row.erase(hash);
        std::istringstream words(row);
        std::string first;
        if (!(words >> first) || first.rfind("--", 0) != 0)
            continue;
        out.push_back(first);
        std::string rest;
        std::getline(words, rest);
        rest.erase(0, rest.find_first_not_of(" \t"));
        rest.erase(rest.find_last_not_of(" \t\r") + 1);
        if (!rest.empty())
            out.push_back(rest);
    }
    return out;
}

} // namespace sipline
