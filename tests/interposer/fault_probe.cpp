// Makes the calls the fault library can fail and prints what each returned,
// one line per call: "<call> <result> <errno>".  The library's own tests run
// it with and without rules.
//
//   fault_probe fork N          N forks (children exit at once)
//   fault_probe read N          N reads of 10 bytes from /dev/zero
//   fault_probe write N         N writes of 10 bytes to /dev/null
//   fault_probe select N        N selects on a readable pipe
//   fault_probe fwrite PATH N   N fwrites of 10 bytes to PATH (created)
//   fault_probe fread PATH N    N freads of 10 bytes from PATH
//   fault_probe open PATH       one open of PATH
//   fault_probe forkread N      fork, then N reads in the child

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void show(const char* call, long result)
{
    printf("%s %ld %d\n", call, result, result < 0 ? errno : 0);
}

void reads(int n)
{
    int fd = open("/dev/zero", O_RDONLY);
    char buffer[10];
    for (int i = 0; i < n; ++i)
        show("read", read(fd, buffer, sizeof buffer));
    close(fd);
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 3)
        return 2;
    const char* op = argv[1];
    int n = atoi(argv[argc - 1]);
    char buffer[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    if (strcmp(op, "fork") == 0) {
        for (int i = 0; i < n; ++i) {
            pid_t pid = fork();
            if (pid == 0)
                _exit(0);
            show("fork", pid < 0 ? -1 : 1);
            if (pid > 0)
                waitpid(pid, nullptr, 0);
        }
    } else if (strcmp(op, "read") == 0) {
        reads(n);
    } else if (strcmp(op, "forkread") == 0) {
        pid_t pid = fork();
        if (pid == 0) {
            reads(n);
            _exit(0);
        }
        waitpid(pid, nullptr, 0);
        show("parentread", read(open("/dev/zero", O_RDONLY), buffer, sizeof buffer));
    } else if (strcmp(op, "write") == 0) {
        int fd = open("/dev/null", O_WRONLY);
        for (int i = 0; i < n; ++i)
            show("write", write(fd, buffer, sizeof buffer));
    } else if (strcmp(op, "select") == 0) {
        int p[2];
        if (pipe(p) < 0 || write(p[1], buffer, 1) != 1)
            return 2;
        for (int i = 0; i < n; ++i) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(p[0], &set);
            struct timeval t = {0, 1000};
            show("select", select(p[0] + 1, &set, nullptr, nullptr, &t));
        }
    } else if (strcmp(op, "fwrite") == 0 || strcmp(op, "fread") == 0) {
        bool writing = op[1] == 'w';
        FILE* f = fopen(argv[2], writing ? "wb" : "rb");
        if (!f)
            return 3;
        setvbuf(f, nullptr, _IONBF, 0);
        for (int i = 0; i < n; ++i) {
            size_t r = writing ? fwrite(buffer, 1, sizeof buffer, f) : fread(buffer, 1, sizeof buffer, f);
            printf("%s %zu %d %d\n", op, r, r < sizeof buffer ? errno : 0, ferror(f) ? 1 : 0);
            clearerr(f);
        }
        fclose(f);
    } else if (strcmp(op, "open") == 0) {
        show("open", open(argv[2], O_RDONLY));
    } else {
        return 2;
    }
    return 0;
}
