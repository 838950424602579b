// sipline: a SIP telephone line presented as the voice tty the daemons use.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "agent.h"
#include "options.h"

using namespace sipline;

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    // Options in a serve configuration come first, so the command line
    // overrides them.
    std::string configText;
    for (size_t i = 0; i + 1 < args.size(); i++) {
        if (args[i] == "--config") {
            std::ifstream in(args[i + 1]);
            if (!in) {
                fprintf(stderr, "sipline: cannot read --config %s\n", args[i + 1].c_str());
                return 1;
            }
            std::stringstream text;
            text << in.rdbuf();
            configText = text.str();
            auto pre = configOptions(configText);
            args.insert(args.begin(), pre.begin(), pre.end());
            break;
        }
    }
    Options o;
    std::string error;
    if (!parseOptions(args, o, error)) {
        fprintf(stderr, "sipline: %s\n%s", error.c_str(), usageText);
        return 2;
    }
    if (o.help) {
        printf("%sSee sipline(1).\n", usageText);
        return 0;
    }
    std::vector<LineConfig> lines;
    if (o.mode == Mode::Serve && !o.config.empty()) {
        if (!parseLineConfig(configText, lines, error)) {
            fprintf(stderr, "sipline: %s: %s\n", o.config.c_str(), error.c_str());
            return 2;
        }
    } else if (o.mode == Mode::Serve) {
        for (uint32_t i = 1; i <= o.lines; i++) {
            LineConfig c;
            c.name = c.user = "line" + std::to_string(i);
            c.exec = o.exec;
            c.pty = o.pty;
            if (!o.link.empty())
                c.link = o.lines == 1 ? o.link : o.link + std::to_string(i);
            lines.push_back(c);
        }
    } else {
        LineConfig c;
        c.name = "line";
        c.link = o.link;
        c.exec = o.exec;
        c.pty = o.pty;
        lines.push_back(c);
    }
    return runAgent(o, lines);
}
