#include "tape_marks.h"

#include <gtest/gtest.h>
#include <memory>

namespace callctl {
namespace {

// Snapshots of a block that the test changes by hand, one look at a time.
class Looks {
public:
    Looks() : cb_(std::make_unique<ControlBlock>()) { last_ = takeSnapshot(*cb_); }
    ControlBlock& cb() { return *cb_; }
    void look(TapeMarks& marks)
    {
        BlockSnapshot now = takeSnapshot(*cb_);
        marks.observe(last_, now);
        last_ = now;
    }

private:
    std::unique_ptr<ControlBlock> cb_;
    BlockSnapshot last_;
};

TEST(TapeMarks, TapingAndDtmfAreMarkedWhereTheyHappen)
{
    Looks l;
    TapeMarks marks;
    writeWord(l.cb().tapePosition, 8000);
    writeWord(l.cb().recordFlags, FlagStarted | FlagActive);
    l.look(marks);
    writeWord(l.cb().dtmfPending, 1);
    writeByte(l.cb().dtmfKey, '7');
    l.look(marks);
    writeWord(l.cb().dtmfPending, 0);
    writeWord(l.cb().outgoingPosition, 12000);
    l.look(marks);
    writeWord(l.cb().recordFlags, FlagStarted);
    writeWord(l.cb().tapePosition, 16000);
    l.look(marks);
    const auto& m = marks.marks();
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].kind, TapeMark::Kind::TapingOn);
    EXPECT_EQ(m[0].position, 8000u);
    EXPECT_EQ(m[1].kind, TapeMark::Kind::DtmfSent);
    EXPECT_EQ(m[1].label, "7");
    EXPECT_EQ(m[1].position, 12000u);
    EXPECT_EQ(m[2].kind, TapeMark::Kind::TapingOff);
    EXPECT_EQ(m[2].position, 16000u);
    // Nothing changed, nothing marked.
    l.look(marks);
    EXPECT_EQ(marks.marks().size(), 3u);
}

TEST(TapeMarks, ATakeOverAnOldOneRemovesTheKeysItOverwrote)
{
    Looks l;
    TapeMarks marks;
    marks.touchtone('1', 4000);  // before the next take: overwritten
    marks.touchtone('2', 20000); // beyond it: kept
    marks.move(24000, 0, "rewind");
    writeWord(l.cb().tapePosition, 0);
    writeWord(l.cb().recordFlags, FlagStarted | FlagActive);
    l.look(marks);
    marks.touchtone('3', 6000); // heard during the take: kept
    writeWord(l.cb().recordFlags, FlagStarted);
    writeWord(l.cb().tapePosition, 16000);
    l.look(marks);
    std::string keys;
    size_t moves = 0;
    for (const auto& m : marks.marks()) {
        if (m.kind == TapeMark::Kind::Touchtone)
            keys += m.label;
        moves += m.kind == TapeMark::Kind::TapeMove;
    }
    EXPECT_EQ(keys, "23");
    EXPECT_EQ(moves, 1u) << "a move is no key: it stays";
}

} // namespace
} // namespace callctl
