#include "on_message.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace callctl {

namespace {

// Every variable of ours, with those of `extra` replacing any of the same
// name.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra)
{
    std::vector<std::string> out;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& x : extra)
            replaced = replaced || x.compare(0, name.size() + 1, name + "=") == 0;
        if (!replaced)
            out.push_back(entry);
    }
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
}

} // namespace

HookResult runHook(const std::string& command, const std::vector<std::string>& environment, int limitMs)
{
    HookResult result;
    std::vector<std::string> env = mergedEnvironment(environment);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};

    // Prepared before the fork: the child only calls what is safe there.
    pid_t pid = fork();
    if (pid < 0) {
        result.startError = errno;
        return result;
    }
    if (pid == 0) {
        setpgid(0, 0); // its own group, so a time-out ends what it started too
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0 && null != STDIN_FILENO) {
            dup2(null, STDIN_FILENO);
            close(null);
        }
        close_range(3, ~0U, 0);
        execve(argv[0], const_cast<char**>(argv), envp.data());
        _exit(127);
    }
    setpgid(pid, pid); // either side may run first
    result.ran = true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (r < 0 && errno != EINTR)
            return result;
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            kill(-pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status))
        result.exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}

std::string describeHookResult(const HookResult& result)
{
    if (!result.ran)
        return std::string("could not be started: ") + strerror(result.startError);
    if (result.timedOut)
        return "ran too long and was killed";
    if (result.signal != 0)
        return "killed by signal " + std::to_string(result.signal);
    return "exit status " + std::to_string(result.exitStatus);
}

HookResult runOnMessage(const std::string& command, const std::string& audioPath, const std::string& metaPath,
                        const std::string& wavPath, int limitMs, const std::function<void(const std::string&)>& log)
{
    HookResult result = runHook(command,
                                {"MESSAGE_FILE=" + audioPath, "MESSAGE_JSON=" + metaPath, "MESSAGE_WAV=" + wavPath},
                                limitMs);
    if (!result.ok())
        log("--on-message command failed (" + describeHookResult(result) + "): " + command);
    return result;
}

HookResult announceNewMessage(const Mailbox& mailbox, const Message& message, const std::string& command,
                              int limitMs, const std::function<void(const std::string&)>& log)
{
    std::string wav, error;
    if (!mailbox.writeWavBeside(message, &wav, &error))
        log("no WAV for the --on-message command: " + error);
    return runOnMessage(command, message.audioPath, message.metaPath, wav, limitMs, log);
}

} // namespace callctl
