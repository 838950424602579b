// What the ttyI-to-audio pump makes of any byte stream from the line: DLE
// decoding with the code actions, the remote-code collector, chunk delivery
// and the ingoing tape arithmetic, wired as the pump wires them.
//
// Input: a chunk size, a tape limit and start positions, how soon the
// application takes a complete code, then the stream itself.
//
// Invariants: the decoder agrees with a plain reading of the line format
// (audio, DLE DLE as audio, DLE + code, ETX ends everything); remoteCode
// holds at most 16 digits, only digits, always NUL-terminated within its 17
// bytes; a chunk never overfills; taping never carries the position past the
// limit; the tape position is the smaller file position and the length
// never shrinks.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "line_decoder.h"
#include "remote_code.h"
#include "tape_math.h"

namespace {

// The line format read plainly, byte by byte.
struct Reference {
    bool pending = false;
    std::vector<uint8_t> audio;
    std::vector<uint8_t> codes;
    bool ended = false;

    void take(uint8_t b)
    {
        if (pending) {
            pending = false;
            codes.push_back(b);
            if (b == 0x10)
                audio.push_back(b);
            if (b == 0x03)
                ended = true;
        } else if (b == 0x10) {
            pending = true;
        } else {
            audio.push_back(b);
        }
    }
};

void checkCode(const char (&code)[remoteCodeSize], const RemoteCodeCollector& collector)
{
    const void* nul = memchr(code, '\0', remoteCodeSize);
    check(nul != nullptr);
    size_t length = static_cast<const char*>(nul) - code;
    check(length <= remoteCodeMaxDigits);
    for (size_t i = 0; i < length; ++i)
        check(code[i] >= '0' && code[i] <= '9');
    check(collector.length <= remoteCodeMaxDigits);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in{data, size};
    const uint32_t chunkSize = 1 + in.byte() % 200;
    const uint32_t limit = in.word();
    uint32_t ingoing = in.word();
    const uint32_t outgoing = in.word();
    uint32_t length = in.word();
    const unsigned takeCodeAfter = in.byte() % 8; // codes until the application reads a complete one
    const bool startedBelowLimit = ingoing <= limit;

    LineDecoder decoder;
    RemoteCodeCollector collector;
    char code[remoteCodeSize] = {};
    bool codeComplete = false;
    unsigned codesSinceComplete = 0;
    std::vector<uint8_t> chunk(chunkSize); // exactly one chunk: an overfill trips the sanitizer
    uint32_t chunkFill = 0;
    std::vector<uint8_t> audio;
    std::vector<uint8_t> codes;
    std::string completed;
    bool ended = false;
    Reference ref;

    while (!in.empty() && !ended) {
        uint8_t b = in.byte();
        ref.take(b);
        bool isAudio = false;
        switch (decodeLineByte(decoder, b)) {
        case LineByte::Audio:
            isAudio = true;
            break;
        case LineByte::Escape:
            break;
        case LineByte::Code: {
            codes.push_back(b);
            LineCode kind = classifyLineCode(b);
            check((kind == LineCode::EndOfData) == (b == 0x03));
            check((kind == LineCode::DataDle) == (b == 0x10));
            check((kind == LineCode::StopAudioToTty) == (b == 0x14));
            check((kind == LineCode::Touchtone) == (strchr("0123456789*#ABCD", b) != nullptr && b != 0));
            if (kind == LineCode::EndOfData)
                ended = true;
            if (kind == LineCode::DataDle)
                isAudio = true;
            if (!codeComplete && collectRemoteCode(collector, code, b)) {
                codeComplete = true;
                codesSinceComplete = 0;
                completed = code;
                check(!completed.empty());
            } else if (codeComplete && ++codesSinceComplete > takeCodeAfter) {
                codeComplete = false; // the application read it
            }
            checkCode(code, collector);
            break;
        }
        }
        if (isAudio) {
            audio.push_back(b);
            check(chunkFill < chunkSize);
            chunk[chunkFill++] = b;
        }
        if (chunkFill == chunkSize) {
            if (tapeHasRoom(limit, ingoing, chunkSize)) {
                check(ingoing <= limit && limit - ingoing >= chunkSize);
                ingoing += chunkSize;
            }
            if (startedBelowLimit)
                check(ingoing <= limit);
            TapeExtent t = tapeExtentAfterWrite(ingoing, outgoing, length);
            check(t.position == (ingoing < outgoing ? ingoing : outgoing));
            check(t.length >= length && t.length >= t.position);
            length = t.length;
            chunkFill = 0;
        }
    }
    check(ended == ref.ended);
    check(audio == ref.audio);
    check(codes == ref.codes);
    return 0;
}
