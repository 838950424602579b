// The tape on real files: the supervisor's moves and both pumps' writer,
// driven in any order on an in-memory control block and two temporary
// files, with the file size limit (a full disk) changing under them.  The
// writer holds its own streams over the same open files, as a pump does, so
// a move by the supervisor changes the offset under it.
//
// Invariants after every step: each writer's offset is its side's position
// (the next take lands where the record says); no file has a hole before
// its side's position; the tape is no longer than either file; a write
// that failed left its file as long as it was; after a move all three
// positions are equal.
#include <csignal>
#include <cstdlib>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon_util.h"
#include "fuzz_check.h"
#include "tape_navigation.h"
#include "tape_writer.h"

namespace {

struct Files {
    char in[64] = "/tmp/tape-file-fuzz-in-XXXXXX";
    char out[64] = "/tmp/tape-file-fuzz-out-XXXXXX";
    int inFd = -1, outFd = -1;
    Files()
    {
        inFd = mkstemp(in);
        outFd = mkstemp(out);
        signal(SIGXFSZ, SIG_IGN);
        if (inFd < 0 || outFd < 0)
            abort();
    }
    ~Files()
    {
        unlink(in);
        unlink(out);
    }
};

long long sizeOf(FILE* f)
{
    struct stat st;
    return fstat(fileno(f), &st) == 0 ? st.st_size : -1;
}

FILE* stream(int fd) { return fdopen(dup(fd), "r+b"); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Files files;
    static uint8_t chunk[4096];
    for (size_t i = 0; i < sizeof chunk; ++i)
        chunk[i] = static_cast<uint8_t>(i * 37 + 1);
    FuzzInput input{data, size};

    rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &unlimited);
    uint32_t inSize = input.word() % 20000, outSize = input.word() % 20000;
    if (ftruncate(files.inFd, inSize) != 0 || ftruncate(files.outFd, outSize) != 0)
        return 0;

    auto cb = std::make_unique<ControlBlock>();
    snprintf(cb->ingoingPath, pathFieldSize, "%s", files.in);
    snprintf(cb->outgoingPath, pathFieldSize, "%s", files.out);
    writeWord(cb->tapeLimit, input.word());
    writeWord(cb->tapeLength, inSize < outSize ? inSize : outSize);
    Tape tape{stream(files.inFd), stream(files.outFd)};      // the supervisor's
    FILE* pumpIn = stream(files.inFd);                       // the pumps'
    FILE* pumpOut = stream(files.outFd);
    if (!tape.ingoing || !tape.outgoing || !pumpIn || !pumpOut)
        abort();
    for (FILE* f : {tape.ingoing, tape.outgoing, pumpIn, pumpOut})
        setvbuf(f, nullptr, _IONBF, 0);
    // The writer's lines would flood the run: they go nowhere.  The fuzzer
    // and the sanitizers report through their own handles.
    static FILE* quiet = fopen("/dev/null", "w");
    FILE* saved = stderr;
    stderr = quiet;

    tapeSeek(*cb, tape, input.word());
    while (!input.empty()) {
        uint8_t op = input.byte() % 9;
        uint32_t value = input.word();
        bool moved = false;
        switch (op) {
        case 0:
        case 1: {
            bool in = op == 0;
            FILE* f = in ? pumpIn : pumpOut;
            long long before = sizeOf(f);
            uint32_t positionBefore = readWord(in ? cb->ingoingPosition : cb->outgoingPosition);
            uint32_t errorsBefore = readWord(cb->errorFlag);
            writeWord(cb->errorFlag, 0);
            tapeChunk(*cb, in ? TapeSide::Ingoing : TapeSide::Outgoing, f, chunk, value % sizeof chunk, "fuzz: ");
            if (readWord(cb->errorFlag)) {
                check(sizeOf(f) == before);
                check(readWord(in ? cb->ingoingPosition : cb->outgoingPosition) == positionBefore);
            }
            writeWord(cb->errorFlag, errorsBefore | readWord(cb->errorFlag));
            uint32_t i = readWord(cb->ingoingPosition), o = readWord(cb->outgoingPosition);
            check(readWord(cb->tapePosition) == (i < o ? i : o));
            break;
        }
        case 2:
            writeWord(cb->skipBack, value % 8 + 1);
            tapeSkipBack(*cb, tape);
            moved = true;
            break;
        case 3:
            tapeRewind(*cb, tape);
            moved = true;
            break;
        case 4:
            writeWord(cb->skipForward, value % 8 + 1);
            tapeSkipForward(*cb, tape);
            moved = true;
            break;
        case 5:
            tapeToEnd(*cb, tape);
            moved = true;
            break;
        case 6:
            writeWord(cb->recordFlags, value & 1 ? FlagStarted | FlagActive : 0);
            break;
        case 7: {
            rlimit limit{value % 40000, RLIM_INFINITY}; // a disk that fills up, or room again
            setrlimit(RLIMIT_FSIZE, value & 0x80000000u ? &unlimited : &limit);
            break;
        }
        case 8:
            tapeSeek(*cb, tape, value % 40000);
            moved = true;
            break;
        }
        uint32_t i = readWord(cb->ingoingPosition), o = readWord(cb->outgoingPosition);
        if (moved)
            check(i == o && o == readWord(cb->tapePosition));
        check(lseek(fileno(pumpIn), 0, SEEK_CUR) == static_cast<off_t>(i));
        check(lseek(fileno(pumpOut), 0, SEEK_CUR) == static_cast<off_t>(o));
        check(sizeOf(pumpIn) >= i && sizeOf(pumpOut) >= o);
        uint32_t length = readWord(cb->tapeLength);
        check(sizeOf(pumpIn) >= length && sizeOf(pumpOut) >= length);
    }
    setrlimit(RLIMIT_FSIZE, &unlimited);
    stderr = saved;
    for (FILE* f : {tape.ingoing, tape.outgoing, pumpIn, pumpOut})
        fclose(f);
    return 0;
}
