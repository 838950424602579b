#include "t2a_pump.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "audio_io.h"
#include "daemon_util.h"
#include "line_decoder.h"
#include "remote_code.h"
#include "tape_math.h"
#include "tape_writer.h"
#include "tty_wait.h"

namespace {

// One buffer set for the life of the pump, sized for the largest chunk; the
// pages beyond the chunk in use are never touched.
uint8_t readBuffer[maxChunkSize];
uint8_t chunkBuffer[maxChunkSize];

class TtyToAudioPump {
public:
    explicit TtyToAudioPump(const Call& call)
        : call_(call), cb_(*call.cb), chunkSize_(static_cast<uint32_t>(call.chunkSize))
    {
    }

    [[noreturn]] void run();

private:
    bool takeByte(uint8_t byte);
    bool actOnCode(uint8_t code);
    void appendAudio(uint8_t byte);
    void deliverChunk();
    void deliverToResponse();
    void openResponse();
    void closeResponse();
    [[noreturn]] void failAndExit(const char* label);
    [[noreturn]] void end();

    const Call& call_;
    ControlBlock& cb_;
    const uint32_t chunkSize_;
    uint32_t chunkFill_ = 0; // bytes waiting in chunkBuffer
    LineDecoder decoder_;
    RemoteCodeCollector remoteCode_;
    FILE* responseFile_ = nullptr; // held only while the response is recorded
    PathName responsePath_{};      // the name it was opened under, for messages
    uint32_t responseWritten_ = 0;
};

void TtyToAudioPump::run()
{
    while (readWord(cb_.t2aRunning) != 0 && !shutdownRequested()) {
        int ready = waitForTty(call_.ttyFd, false);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            failAndExit("(ttyI->audio) select");
        }
        if (ready == 0)
            continue;
        ssize_t n = read(call_.ttyFd, readBuffer, chunkSize_);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;
            failAndExit("(ttyI->audio) read");
        }
        if (n == 0) {
            // A line that reads as ended stays "readable": wait as a silent
            // line would instead of spinning.
            usleep(ttyWaitMicroseconds);
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (!takeByte(readBuffer[i]))
                break; // end of data: the rest of the read is not decoded
        }
    }
    end();
}

// One byte of the stream: decode it, then deliver.  False after DLE ETX.
bool TtyToAudioPump::takeByte(uint8_t byte)
{
    bool endOfData = false;
    switch (decodeLineByte(decoder_, byte)) {
    case LineByte::Audio:
        appendAudio(byte);
        break;
    case LineByte::Escape:
        break;
    case LineByte::Code:
        endOfData = actOnCode(byte);
        if (readWord(cb_.codeComplete) == 0 && collectRemoteCode(remoteCode_, cb_.remoteCode, byte))
            publishWord(cb_.codeComplete, 1); // after the digits and their NUL
        break;
    }
    if (readWord(cb_.answerMode) != 0)
        deliverToResponse();
    else
        deliverChunk();
    return !endOfData;
}

bool TtyToAudioPump::actOnCode(uint8_t code)
{
    switch (classifyLineCode(code)) {
    case LineCode::EndOfData:
        writeWord(cb_.t2aRunning, 0);
        writeWord(cb_.a2tRunning, 0);
        return true;
    case LineCode::DataDle:
        appendAudio(code);
        break;
    case LineCode::StopAudioToTty:
        writeWord(cb_.a2tRunning, 0);
        break;
    case LineCode::Touchtone:
        printf("%sTouchtone '%c'\n", ttyToAudioPrefix, code);
        break;
    case LineCode::Other:
        printf("%sDLE %u ('%c') received\n", ttyToAudioPrefix, static_cast<unsigned>(code), code);
        break;
    }
    return false;
}

void TtyToAudioPump::appendAudio(uint8_t byte)
{
    // Every delivery step empties a full chunk, so this only guards the buffer.
    if (chunkFill_ < chunkSize_)
        chunkBuffer[chunkFill_++] = byte;
}

// Normal mode: a full chunk goes to the sound device and, while taping, to
// the ingoing tape.
void TtyToAudioPump::deliverChunk()
{
    if (chunkFill_ != chunkSize_)
        return;
    if (readWord(cb_.holdAudio) == 0) {
        // A chunk the device has no room for is skipped, not waited for, so
        // the line keeps being read; it is still taped.
        if (audioSpaceFor(call_.soundFd, call_.chunkSize))
            writeAudio(call_.soundFd, chunkBuffer, call_.chunkSize);
        if (flagSet(cb_.recordFlags, FlagActive) && call_.tape.ingoing)
            tapeChunk(cb_, TapeSide::Ingoing, call_.tape.ingoing, chunkBuffer, chunkSize_, ttyToAudioPrefix);
    }
    chunkFill_ = 0;
}

// Answer mode: every byte step serves the start and stop requests and hands
// the decoded byte (if any) to the response file at once.
void TtyToAudioPump::deliverToResponse()
{
    // The greeting and the response never run at once; a request that backs
    // off stays pending.
    if (readWord(cb_.responseStart) != 0 && claimExclusive(cb_.responseRecording, cb_.messagePlaying))
        openResponse();
    if (readWord(cb_.responseStop) != 0 && responseFile_) {
        closeResponse();
        writeWord(cb_.responseDone, 1);
    }
    if (responseFile_ && chunkFill_ != 0) {
        if (!responseHasRoom(responseWritten_, chunkFill_, readWord(cb_.responseLimit))) {
            closeResponse();
            writeWord(cb_.responseDone, 1);
        } else if (fwrite(chunkBuffer, 1, chunkFill_, responseFile_) < chunkFill_) {
            closeResponse();
            writeWord(cb_.errorFlag, 1);
            fprintf(stderr, "%sError writing to response file %s\n", ttyToAudioPrefix, responsePath_.text);
        } else {
            responseWritten_ += chunkFill_;
        }
    }
    chunkFill_ = 0;
}

void TtyToAudioPump::openResponse()
{
    writeWord(cb_.responseStart, 0);
    if (responseFile_) // the application cleared responseRecording under us
        fclose(responseFile_);
    responsePath_ = pathFrom(cb_.responsePath);
    responseFile_ = openFile(responsePath_, FileMode::Create);
    if (!responseFile_) {
        fprintf(stderr, "%sCan't open response file %s for writing\n", ttyToAudioPrefix, responsePath_.text);
        writeWord(cb_.responseRecording, 0);
        writeWord(cb_.errorFlag, 1);
        return;
    }
    setFileOwnership(voicePhonePrefix, cb_, responseFile_, responsePath_);
    responseWritten_ = 0;
}

void TtyToAudioPump::closeResponse()
{
    fclose(responseFile_);
    responseFile_ = nullptr;
    writeWord(cb_.responseRecording, 0);
}

// A select or read failure ends the pump at once, without the end step.
void TtyToAudioPump::failAndExit(const char* label)
{
    perror(label);
    writeWord(cb_.t2aRunning, 0);
    exit(0);
}

void TtyToAudioPump::end()
{
    if (readWord(cb_.responseRecording) != 0) {
        if (responseFile_) {
            closeResponse();
            writeWord(cb_.errorFlag, 1); // the recording was cut off
        } else {
            // Left set by the application: nothing was recorded, nothing to report.
            writeWord(cb_.responseRecording, 0);
        }
    }
    printDying(ttyToAudioPrefix);
    exit(0);
}

} // namespace

void startT2aPump(Call& call)
{
    pid_t pid = forkWorker();
    if (pid < 0) {
        perror("t2a fork");
        writeWord(call.cb->a2tRunning, 0);
        writeWord(call.cb->t2aRunning, 0);
        return;
    }
    if (pid > 0) {
        call.t2aPid = pid;
        return;
    }
    TtyToAudioPump(call).run();
}
