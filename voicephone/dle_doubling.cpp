#include "dle_doubling.h"

#include "line_decoder.h"

size_t doubleDleBytes(const uint8_t* audio, size_t count, uint8_t* line)
{
    size_t length = 0;
    for (size_t i = 0; i < count; ++i) {
        if (audio[i] == lineDle)
            line[length++] = lineDle;
        line[length++] = audio[i];
    }
    return length;
}

bool dleOwedAfterWrite(bool owedBefore, const uint8_t* doubled, size_t length, size_t written)
{
    if (owedBefore) {
        if (written == 0)
            return true;
        --written;
    }
    if (written == 0 || written >= length)
        return false;
    // Every run of DLE bytes in a doubled buffer has even length, so the cut
    // splits a pair exactly when the run that ends at it is odd.
    size_t run = 0;
    while (run < written && doubled[written - 1 - run] == lineDle)
        ++run;
    return run % 2 == 1;
}
