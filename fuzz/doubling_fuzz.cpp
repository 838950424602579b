// What the audio-to-ttyI pump sends: DTMF tones laid over the chunks, DLE
// doubling, and writes the line takes only in part.
//
// Input: chunk sizes, how much of each doubled chunk the line takes, then
// the audio.
//
// Invariants: a doubled chunk fits its 2 × count buffer exactly when it is
// all DLE; undoubling what was doubled gives the audio back; however writes
// are cut, the line never reads a code of any kind but DLE DLE (so a cut
// cannot end the call with a stray DLE ETX), and what it reads is each
// chunk's audio in order with only tails missing; a tone goes out whole,
// 2000 bytes in order, and the offset stays within the tone.
#include <algorithm>
#include <cstring>
#include <vector>

#include "dle_doubling.h"
#include "dtmf.h"
#include "dtmf_overlay.h"
#include "fuzz_check.h"
#include "line_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in{data, size};
    static uint8_t tone[dtmfToneSamples];
    static bool rendered = generateDtmfTone(tone, '5') == dtmfToneSamples;
    check(rendered);
    const bool withTone = in.byte() & 1;
    int toneOffset = 0;
    bool toneDone = !withTone;
    std::vector<uint8_t> toneSent;

    bool owed = false;
    LineDecoder decoder;
    std::vector<uint8_t> lineAudio; // what the line decoded
    std::vector<uint8_t> sentAudio; // the audio of every chunk, in order

    while (!in.empty()) {
        size_t count = in.byte() % 97;
        uint8_t cut = in.byte();
        std::vector<uint8_t> chunk;
        for (size_t i = 0; i < count && !in.empty(); ++i)
            chunk.push_back(in.byte());
        count = chunk.size();

        if (!toneDone) {
            int before = toneOffset;
            std::vector<uint8_t> exact(chunk); // no spare room: an overrun trips the sanitizer
            bool done = overlayDtmfTone(toneOffset, tone, exact.data(), static_cast<int>(count));
            int laid = done ? dtmfToneSamples - before : toneOffset - before;
            check(laid >= 0 && static_cast<size_t>(laid) <= count);
            check(toneOffset >= 0 && toneOffset < dtmfToneSamples);
            check(std::equal(exact.begin(), exact.begin() + laid, tone + before));
            check(std::equal(exact.begin() + laid, exact.end(), chunk.begin() + laid));
            toneSent.insert(toneSent.end(), exact.begin(), exact.begin() + laid);
            chunk = exact;
            toneDone = done;
        }

        // One byte of room in front, as the pump keeps for an owed DLE.
        std::vector<uint8_t> line(1 + 2 * count);
        uint8_t* doubled = line.data() + 1;
        size_t length = doubleDleBytes(chunk.data(), count, doubled);
        size_t dles = 0;
        for (uint8_t b : chunk)
            dles += b == lineDle;
        check(length == count + dles);

        LineDecoder whole;
        std::vector<uint8_t> back;
        for (size_t i = 0; i < length; ++i) {
            LineByte kind = decodeLineByte(whole, doubled[i]);
            check(kind != LineByte::Code || doubled[i] == lineDle);
            if (kind != LineByte::Escape)
                back.push_back(doubled[i]);
        }
        check(!whole.dlePending);
        check(back == chunk);

        // The line takes only `written` bytes of this cycle's write.
        uint8_t* out = doubled;
        size_t outLength = length;
        if (owed) {
            *--out = lineDle;
            ++outLength;
        }
        size_t written = cut >= 128 ? outLength : cut % (outLength + 1);
        for (size_t i = 0; i < written; ++i) {
            LineByte kind = decodeLineByte(decoder, out[i]);
            check(kind != LineByte::Code || out[i] == lineDle);
            if (kind != LineByte::Escape)
                lineAudio.push_back(out[i]);
        }
        owed = dleOwedAfterWrite(owed, doubled, length, written);
        check(owed == decoder.dlePending);
        sentAudio.insert(sentAudio.end(), chunk.begin(), chunk.end());
    }
    if (toneDone && withTone)
        check(toneSent.size() == dtmfToneSamples && memcmp(toneSent.data(), tone, dtmfToneSamples) == 0);
    // The line's audio is the sent audio with some tails left out: a subsequence, in order.
    size_t j = 0;
    for (size_t i = 0; i < sentAudio.size() && j < lineAudio.size(); ++i)
        if (sentAudio[i] == lineAudio[j])
            ++j;
    check(j == lineAudio.size());
    return 0;
}
