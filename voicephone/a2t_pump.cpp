#include "a2t_pump.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "audio_io.h"
#include "daemon_util.h"
#include "dle_doubling.h"
#include "dtmf_overlay.h"
#include "line_decoder.h"
#include "tape_writer.h"
#include "tty_wait.h"

namespace {

// With nothing to wait on (answer mode, no greeting; a sound device that
// reads as ended) a cycle sleeps this long, so an idle pump costs next to
// no CPU and still sees messageStart and a2tRunning within milliseconds.
constexpr useconds_t idleMicroseconds = 1000;
// One buffer set for the life of the pump, sized for the largest chunk; the
// pages beyond the chunk in use are never touched.  lineBuffer has one byte
// in front of the doubled audio for a DLE that an earlier write left owed.
uint8_t sendChunk[maxChunkSize];
uint8_t lineBuffer[1 + 2 * maxChunkSize];
char messageStreamBuffer[BUFSIZ];

class AudioToTtyPump {
public:
    explicit AudioToTtyPump(const Call& call)
        : call_(call), cb_(*call.cb), chunkSize_(static_cast<uint32_t>(call.chunkSize))
    {
    }

    [[noreturn]] void run();

private:
    bool cycle();
    int readSoundDevice();
    int takeGreeting();
    void openMessage();
    void closeMessage();
    void sendToLine(int count);
    size_t writeTtyPaced(const uint8_t* data, size_t length);
    [[noreturn]] void end();

    const Call& call_;
    ControlBlock& cb_;
    const uint32_t chunkSize_;
    int dtmfOffset_ = 0;           // tone bytes already laid into chunks
    FILE* messageFile_ = nullptr;  // held only while the greeting plays
    bool dleOwed_ = false;         // a write stopped between the halves of a doubled DLE
    bool lineWritten_ = false;     // this cycle handed data to the line
};

void AudioToTtyPump::run()
{
    while (readWord(cb_.a2tRunning) != 0 && !shutdownRequested()) {
        if (!cycle())
            usleep(idleMicroseconds);
    }
    end();
}

// One cycle; false when it had nothing to wait on.
bool AudioToTtyPump::cycle()
{
    bool answerMode = readWord(cb_.answerMode) != 0;
    lineWritten_ = false;
    int count = 0;
    if (!answerMode) {
        count = readSoundDevice();
        if (count == 0)
            return false;
    }
    if (acquireWord(cb_.dtmfPending) != 0 && overlayDtmfTone(dtmfOffset_, cb_.dtmfTone, sendChunk, count)) {
        writeByte(cb_.dtmfKey, 0);
        publishWord(cb_.dtmfPending, 0); // the supervisor may render the next tone now
    }
    if (answerMode)
        count = takeGreeting();
    if (count < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return true;
        perror("(audio->ttyI) read");
        writeWord(cb_.a2tRunning, 0);
        exit(0);
    }
    sendToLine(count);
    // What was read is taped, no more: the outgoing file advances as the
    // call does, in step with the ingoing one.
    if (!answerMode && readWord(cb_.holdAudio) == 0 && flagSet(cb_.recordFlags, FlagActive) && call_.tape.outgoing)
        tapeChunk(cb_, TapeSide::Outgoing, call_.tape.outgoing, sendChunk, static_cast<uint32_t>(count),
                  audioToTtyPrefix);
    return !answerMode || lineWritten_;
}

// Samples read, 0 when the device reads as ended, negative on failure (a
// device with nothing to read within the wait counts as EAGAIN).
int AudioToTtyPump::readSoundDevice()
{
    if (!wrapModeSupported())
        return readAudio(call_.soundFd, sendChunk, call_.chunkSize); // says so and fails, silent device or not
    int ready = waitForSound(call_.soundFd, false, call_.chunkSize);
    if (ready == 0 || (ready < 0 && errno == EINTR)) {
        errno = EAGAIN; // nothing yet; the running word is looked at first
        return -1;
    }
    return readAudio(call_.soundFd, sendChunk, call_.chunkSize);
}

// Answer mode: serve the greeting's start and stop requests and take its
// next chunk.  Returns the number of bytes in sendChunk to send.
int AudioToTtyPump::takeGreeting()
{
    // The greeting and the response never run at once; a request that backs
    // off stays pending.
    if (readWord(cb_.messageStart) != 0 && claimExclusive(cb_.messagePlaying, cb_.responseRecording))
        openMessage();
    if (readWord(cb_.messageStop) != 0) {
        if (!messageFile_)
            return 0; // stays set: it ends the next greeting before any of it is sent
        writeWord(cb_.messageStop, 0);
        closeMessage();
    }
    if (!messageFile_)
        return 0;
    // The end is noticed one cycle after the read that met it.
    if (feof(messageFile_)) {
        closeMessage();
        return 0;
    }
    size_t n = fread(sendChunk, 1, chunkSize_, messageFile_);
    if (ferror(messageFile_) && (errno == EAGAIN || errno == EWOULDBLOCK))
        clearerr(messageFile_); // a FIFO whose writer is quiet: nothing yet
    return static_cast<int>(n);
}

void AudioToTtyPump::openMessage()
{
    writeWord(cb_.messageStart, 0);
    if (messageFile_) // the application cleared messagePlaying under us
        fclose(messageFile_);
    PathName path = pathFrom(cb_.messagePath);
    messageFile_ = openFile(path, FileMode::Read);
    if (!messageFile_) {
        fprintf(stderr, "%sCan't open message file %s for reading\n", audioToTtyPrefix, path.text);
        writeWord(cb_.messagePlaying, 0);
        writeWord(cb_.errorFlag, 1);
        return;
    }
    // A buffer of our own: the stream must not allocate one inside the loop.
    setvbuf(messageFile_, messageStreamBuffer, _IOFBF, sizeof messageStreamBuffer);
}

void AudioToTtyPump::closeMessage()
{
    fclose(messageFile_);
    messageFile_ = nullptr;
    writeWord(cb_.messagePlaying, 0);
    writeWord(cb_.messageDone, 1);
}

void AudioToTtyPump::sendToLine(int count)
{
    uint8_t* doubled = lineBuffer + 1;
    size_t length = doubleDleBytes(sendChunk, static_cast<size_t>(count), doubled);
    if (length == 0)
        return;
    bool answerMode = readWord(cb_.answerMode) != 0;
    if (!answerMode && readWord(cb_.holdAudio) != 0)
        return;
    uint8_t* out = doubled;
    size_t outLength = length;
    if (dleOwed_) {
        *--out = lineDle;
        ++outLength;
    }
    size_t written;
    if (answerMode) {
        written = writeTtyPaced(out, outLength);
    } else {
        // One bounded write: what the line does not take now is lost, as
        // live audio is.
        ssize_t r = writeTtyWithin(call_.ttyFd, out, outLength);
        written = r > 0 ? static_cast<size_t>(r) : 0;
    }
    dleOwed_ = dleOwedAfterWrite(dleOwed_, doubled, length, written);
    lineWritten_ = true;
}

// Waits for the line to take every byte; returns how many it took.  A
// failed write drops the rest; a cleared running word ends the wait, so a
// line that stops taking data cannot hold up the end of the call.
size_t AudioToTtyPump::writeTtyPaced(const uint8_t* data, size_t length)
{
    size_t written = 0;
    while (written < length) {
        ssize_t r = writeTtyWithin(call_.ttyFd, data + written, length - written);
        if (r == 0) {
            if (readWord(cb_.a2tRunning) == 0 || shutdownRequested())
                break;
            continue;
        }
        if (r < 0) {
            fprintf(stderr, "%sFailed to write to ttyI\n", audioToTtyPrefix);
            break;
        }
        written += static_cast<size_t>(r);
    }
    return written;
}

void AudioToTtyPump::end()
{
    if (messageFile_) {
        closeMessage();
    } else if (readWord(cb_.messagePlaying) != 0) {
        // Left set by the application: nothing was played, nothing to report.
        writeWord(cb_.messagePlaying, 0);
    }
    printDying(audioToTtyPrefix);
    exit(0);
}

} // namespace

void startA2tPump(Call& call)
{
    pid_t pid = forkWorker();
    if (pid < 0) {
        perror("a2t fork");
        writeWord(call.cb->a2tRunning, 0);
        writeWord(call.cb->t2aRunning, 0);
        return;
    }
    if (pid > 0) {
        call.a2tPid = pid;
        return;
    }
    AudioToTtyPump(call).run();
}
