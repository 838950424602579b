// The control block as a person reads it: field names, flag bits by name,
// positions as mm:ss, and the changes between two looks at it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "control_block.h"

namespace callctl {

// "mm:ss" of a µ-law byte count (8000 bytes a second); "mm:ss.t" with tenths.
std::string tapeTime(uint32_t bytes, bool tenths = false);
// "0x06 Started|Active"; "0x00" for none; bits above the byte shown as hex.
std::string flagNames(uint32_t flags);

enum class FieldKind { Word, Flags, Position, Seconds, Descriptor, Wrap, Id };

struct WordField {
    const char* name;
    Word ControlBlock::*member;
    FieldKind kind;
};
// Every word of the control block, in layout order.
const std::vector<WordField>& wordFields();

// One consistent-enough copy of the control block taken with relaxed loads.
struct BlockSnapshot {
    std::vector<uint32_t> words; // in wordFields() order
    uint8_t dtmfKey = 0;
    std::string remoteCode;      // up to the NUL, at most 16 digits
    std::array<std::string, 4> paths; // ingoing, outgoing, message, response
};
BlockSnapshot takeSnapshot(const ControlBlock& cb);

std::string formatField(const WordField& field, uint32_t value);

// Every field, grouped, for `callctl show`.
std::string describeBlock(const BlockSnapshot& s);

// One line per changed field ("recordFlags 0x01 -> 0x06 Started|Active").
// The position words move with every taped chunk; they are left out unless
// asked for.
std::vector<std::string> describeChanges(const BlockSnapshot& before, const BlockSnapshot& after,
                                         bool includePositions);

// A path field read within its 128 bytes; a field without NUL is cut there.
std::string pathText(const char (&field)[pathFieldSize]);

} // namespace callctl
