// The marks on a call's tape, from what callctl sees of the control block:
// taping on and off, touchtones heard, DTMF sent and tape moves.  Fed with
// snapshots and events, so its rules are checked without processes,
// threads or waiting.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "call_picture.h"
#include "control_block_view.h"

namespace callctl {

class TapeMarks {
public:
    // One look at the block after `before`.  Taping on and off and DTMF
    // sent are told apart by what changed between the two.
    void observe(const BlockSnapshot& before, const BlockSnapshot& now);
    void touchtone(char key, uint32_t ingoingPosition);
    void move(uint32_t from, uint32_t to, const std::string& label);
    const std::vector<TapeMark>& marks() const { return marks_; }

private:
    std::vector<TapeMark> marks_;
    uint32_t takeStart_ = 0;     // where the running take began
    size_t marksBeforeTake_ = 0; // marks made before it
    uint8_t pendingKey_ = 0;     // the DTMF key going out
};

// A word of a snapshot by its field name; 0 for an unknown name.
uint32_t snapshotWord(const BlockSnapshot& s, const char* name);

} // namespace callctl
