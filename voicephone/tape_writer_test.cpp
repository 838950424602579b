// The tape writer and the tape moves on an in-memory control block and
// real temporary files: where bytes land, what a failure leaves behind, and
// what the words say afterwards.
#include "tape_writer.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "daemon_util.h"
#include "scratch_dir.h"
#include "tape_navigation.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr const char* prefix = "test: ";

Bytes pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 13);
    return b;
}

// A tape pair in a scratch folder, opened as the supervisor opens it, with a
// control block that has taping active.
class TapeFiles : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.empty());
        cb_ = std::make_unique<ControlBlock>();
        writeWord(cb_->tapeLimit, 0xFFFFFFFF);
        writeWord(cb_->recordFlags, FlagStarted | FlagActive);
    }
    void TearDown() override { closeAll(); }

    // Writes both files and opens them for update; the words start at 0.
    void makeTape(const Bytes& in, const Bytes& out)
    {
        put(in, "in.tape");
        put(out, "out.tape");
        setPath(cb_->ingoingPath, dir_ + "/in.tape");
        setPath(cb_->outgoingPath, dir_ + "/out.tape");
        tape_.ingoing = openFile(pathFrom(cb_->ingoingPath), FileMode::Update);
        tape_.outgoing = openFile(pathFrom(cb_->outgoingPath), FileMode::Update);
        ASSERT_NE(tape_.ingoing, nullptr);
        ASSERT_NE(tape_.outgoing, nullptr);
        writeWord(cb_->tapeLength, static_cast<uint32_t>(std::min(in.size(), out.size())));
    }
    void put(const Bytes& bytes, const std::string& name)
    {
        FILE* f = fopen((dir_ + "/" + name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        if (!bytes.empty()) {
            EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        }
        fclose(f);
    }
    Bytes content(const std::string& name) const
    {
        Bytes b;
        FILE* f = fopen((dir_ + "/" + name).c_str(), "rb");
        if (!f)
            return b;
        int c;
        while ((c = fgetc(f)) != EOF)
            b.push_back(static_cast<uint8_t>(c));
        fclose(f);
        return b;
    }
    static void setPath(char (&field)[pathFieldSize], const std::string& path)
    {
        snprintf(field, pathFieldSize, "%s", path.c_str());
    }
    void closeAll()
    {
        for (FILE** f : {&tape_.ingoing, &tape_.outgoing}) {
            if (*f)
                fclose(*f);
            *f = nullptr;
        }
    }
    uint32_t word(const Word& w) const { return readWord(w); }
    bool taping() const { return flagSet(cb_->recordFlags, FlagActive); }

    kit::ScratchDir scratch_;
    std::string dir_ = scratch_.path();
    std::unique_ptr<ControlBlock> cb_;
    Tape tape_;
};

TEST_F(TapeFiles, ChunksLandAtThePositionsAndTheWordsFollowTheSlowerSide)
{
    makeTape({}, {});
    Bytes a = pattern(160, 1), b = pattern(160, 2), c = pattern(100, 3);
    tapeChunk(*cb_, TapeSide::Ingoing, tape_.ingoing, a.data(), 160, prefix);
    EXPECT_EQ(word(cb_->ingoingPosition), 160u);
    EXPECT_EQ(word(cb_->tapePosition), 0u); // the outgoing side has taped nothing yet
    EXPECT_EQ(word(cb_->tapeLength), 0u);
    tapeChunk(*cb_, TapeSide::Outgoing, tape_.outgoing, b.data(), 160, prefix);
    tapeChunk(*cb_, TapeSide::Outgoing, tape_.outgoing, c.data(), 100, prefix); // a short read's bytes
    EXPECT_EQ(word(cb_->outgoingPosition), 260u);
    EXPECT_EQ(word(cb_->tapePosition), 160u);
    EXPECT_EQ(word(cb_->tapeLength), 160u);
    EXPECT_EQ(content("in.tape"), a);
    Bytes both = b;
    both.insert(both.end(), c.begin(), c.end());
    EXPECT_EQ(content("out.tape"), both);
    EXPECT_TRUE(taping());
}

TEST_F(TapeFiles, AChunkBeyondTheLimitStopsTapingWithTapeFullAndWritesNothing)
{
    makeTape({}, {});
    writeWord(cb_->tapeLimit, 300);
    Bytes a = pattern(160, 1);
    tapeChunk(*cb_, TapeSide::Ingoing, tape_.ingoing, a.data(), 160, prefix);
    tapeChunk(*cb_, TapeSide::Ingoing, tape_.ingoing, a.data(), 160, prefix);
    EXPECT_EQ(word(cb_->tapeFull), 1u);
    EXPECT_EQ(word(cb_->errorFlag), 0u);
    EXPECT_FALSE(taping());
    EXPECT_EQ(word(cb_->ingoingPosition), 160u);
    EXPECT_EQ(content("in.tape").size(), 160u);
}

// The file runs out of room part-way through a chunk at the tape's end, after
// the supervisor moved the shared offset ("to the end") through its own
// stream: the next take must land at the recorded position, not where the
// writer's stream last was, and nothing stays past the old end.
TEST_F(TapeFiles, AShortWriteAtTheEndLeavesTheFileAtItsLengthAndTheOffsetAtThePosition)
{
    Bytes in = pattern(24000, 4), out = pattern(24000, 5);
    makeTape(in, out);
    // The writer's own stream, as a pump holds it: same open file, its own FILE.
    FILE* pump = fdopen(dup(fileno(tape_.outgoing)), "r+b");
    ASSERT_NE(pump, nullptr);
    setvbuf(pump, nullptr, _IONBF, 0);
    tapeToEnd(*cb_, tape_);
    ASSERT_EQ(word(cb_->outgoingPosition), 24000u);

    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_IGN);
    rlimit small{24100, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Bytes chunk = pattern(160, 6);
    testing::internal::CaptureStderr();
    tapeChunk(*cb_, TapeSide::Outgoing, pump, chunk.data(), 160, prefix);
    std::string said = testing::internal::GetCapturedStderr();
    setrlimit(RLIMIT_FSIZE, &saved);

    EXPECT_EQ(said, std::string(prefix) + "Error writing to file " + dir_ + "/out.tape\n");
    EXPECT_EQ(word(cb_->errorFlag), 1u);
    EXPECT_FALSE(taping());
    EXPECT_EQ(word(cb_->outgoingPosition), 24000u);
    EXPECT_EQ(content("out.tape"), out) << "no half chunk past the recorded length";
    EXPECT_EQ(lseek(fileno(pump), 0, SEEK_CUR), 24000);

    // Taping again after room was made: the chunk lands at 24000.
    writeWord(cb_->recordFlags, FlagStarted | FlagActive);
    tapeChunk(*cb_, TapeSide::Outgoing, pump, chunk.data(), 160, prefix);
    Bytes expected = out;
    expected.insert(expected.end(), chunk.begin(), chunk.end());
    EXPECT_EQ(content("out.tape"), expected);
    fclose(pump);
}

TEST_F(TapeFiles, ADeletedOrCutTapeStopsTapingInsteadOfWritingIntoNothing)
{
    makeTape(pattern(3200, 1), pattern(3200, 2));
    tapeToEnd(*cb_, tape_);
    Bytes chunk = pattern(160, 3);

    ASSERT_EQ(truncate((dir_ + "/in.tape").c_str(), 1000), 0);
    testing::internal::CaptureStderr();
    tapeChunk(*cb_, TapeSide::Ingoing, tape_.ingoing, chunk.data(), 160, prefix);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string(prefix) + "Tape file " + dir_ + "/in.tape was cut short\n");
    EXPECT_EQ(word(cb_->errorFlag), 1u);
    EXPECT_FALSE(taping());
    EXPECT_EQ(content("in.tape").size(), 1000u) << "no hole of 0x00 bytes up to the position";
    EXPECT_EQ(word(cb_->ingoingPosition), 3200u);

    writeWord(cb_->errorFlag, 0);
    writeWord(cb_->recordFlags, FlagStarted | FlagActive);
    ASSERT_EQ(unlink((dir_ + "/out.tape").c_str()), 0);
    testing::internal::CaptureStderr();
    tapeChunk(*cb_, TapeSide::Outgoing, tape_.outgoing, chunk.data(), 160, prefix);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string(prefix) + "Tape file " + dir_ + "/out.tape was deleted\n");
    EXPECT_EQ(word(cb_->errorFlag), 1u);
    EXPECT_FALSE(taping());
    EXPECT_EQ(word(cb_->outgoingPosition), 3200u);
}

TEST_F(TapeFiles, AStartPositionBeyondTheTapePutsItAtTheEnd)
{
    Bytes in = pattern(4000, 1), out = pattern(3000, 2);
    makeTape(in, out);
    tapeSeek(*cb_, tape_, 9999);
    EXPECT_EQ(word(cb_->tapePosition), 3000u);
    EXPECT_EQ(word(cb_->ingoingPosition), 3000u);
    EXPECT_EQ(word(cb_->outgoingPosition), 3000u);
    EXPECT_EQ(ftell(tape_.ingoing), 3000);
    EXPECT_EQ(ftell(tape_.outgoing), 3000);

    // Taping from there keeps the old recording before it.
    Bytes chunk = pattern(160, 7);
    tapeChunk(*cb_, TapeSide::Outgoing, tape_.outgoing, chunk.data(), 160, prefix);
    Bytes expected = out;
    expected.insert(expected.end(), chunk.begin(), chunk.end());
    EXPECT_EQ(content("out.tape"), expected);

    tapeSeek(*cb_, tape_, 1200); // inside the tape: exactly there
    EXPECT_EQ(word(cb_->tapePosition), 1200u);
    EXPECT_EQ(ftell(tape_.ingoing), 1200);
}

} // namespace
