// Decoding of the voice stream that arrives from the ttyI.
//
// Every byte is µ-law audio except DLE (0x10), which starts a two-byte
// sequence DLE + code.  The decoder keeps the one bit of state the stream
// needs (a DLE seen, its code not yet), so a sequence may be split across
// reads.
#pragma once

#include <cstdint>

inline constexpr uint8_t lineDle = 0x10;
inline constexpr uint8_t lineEtx = 0x03; // after DLE: end of data
inline constexpr uint8_t lineDc4 = 0x14; // after DLE: stop the audio towards the line

// What a DLE code asks for.
enum class LineCode : uint8_t {
    EndOfData,      // DLE ETX: the call is over
    DataDle,        // DLE DLE: the audio byte 0x10
    StopAudioToTty, // DLE DC4: stop sending to the line
    Touchtone,      // '0'-'9', '*', '#', 'A'-'D'
    Other,          // any other byte value
};

// Every byte value has exactly one meaning as a code.
LineCode classifyLineCode(uint8_t code);

// What one byte of the stream turned out to be.
enum class LineByte : uint8_t {
    Audio,  // an ordinary audio byte (the byte itself)
    Escape, // an unpaired DLE: the next byte is a code
    Code,   // the byte is the code of a DLE sequence
};

struct LineDecoder {
    bool dlePending = false; // the last byte was an unpaired DLE
};

// Takes one byte of the stream.  A code of 0x10 (DLE DLE) is reported as a
// Code whose classification is DataDle: the caller turns it into audio.
LineByte decodeLineByte(LineDecoder& decoder, uint8_t byte);
