#include "mailbox_commands.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>

#include "command_line.h"
#include "scratch_dir.h"
#include "tape_wav.h"

namespace callctl {
namespace {

TEST(MessagesRequest, EveryRequestAndItsMistakes)
{
    MessagesRequest r;
    std::string error;
    ASSERT_TRUE(parseMessagesRequest({}, &r, &error));
    EXPECT_EQ(r.what, MessagesRequest::List);
    ASSERT_TRUE(parseMessagesRequest({"delete", "3"}, &r, &error));
    EXPECT_EQ(r.what, MessagesRequest::Delete);
    EXPECT_EQ(r.number, 3u);
    ASSERT_TRUE(parseMessagesRequest({"export", "2", "m.wav"}, &r, &error));
    EXPECT_EQ(r.what, MessagesRequest::Export);
    EXPECT_EQ(r.file, "m.wav");
    ASSERT_TRUE(parseMessagesRequest({"greeting", "record"}, &r, &error));
    EXPECT_EQ(r.what, MessagesRequest::GreetingRecord);
    ASSERT_TRUE(parseMessagesRequest({"trash"}, &r, &error));
    EXPECT_EQ(r.what, MessagesRequest::Trash);

    struct {
        std::vector<std::string> words;
        const char* says;
    } wrong[] = {
        {{"play"}, "takes a message number"},
        {{"play", "0"}, "0"},
        {{"play", "two"}, "two"},
        {{"list", "1"}, "takes nothing more"},
        {{"export", "1"}, "a message number and a file"},
        {{"greeting"}, "record\" or \"play"},
        {{"greeting", "delete"}, "record\" or \"play"},
        {{"erase", "1"}, "unknown request \"erase\""},
    };
    for (const auto& w : wrong) {
        error.clear();
        EXPECT_FALSE(parseMessagesRequest(w.words, &r, &error)) << w.words[0];
        EXPECT_NE(error.find(w.says), std::string::npos) << error;
    }
}

class MessagesCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.empty());
        box_ = std::make_unique<Mailbox>(dir_ + "/box");
        std::string error;
        ASSERT_TRUE(box_->open(&error)) << error;
        for (int i = 0; i < 3; ++i) {
            PendingMessage pending;
            ASSERT_TRUE(box_->beginMessage(&pending, &error)) << error;
            ASSERT_TRUE(writeWholeFile(pending.audioPath, std::vector<uint8_t>(8000 * (i + 1), 0x70), &error));
            MessageMeta meta;
            meta.caller = "sip:caller" + std::to_string(i) + "@h";
            meta.start = 1796778123 + i * 60;
            ASSERT_TRUE(box_->commitMessage(&pending, meta, nullptr, &error)) << error;
        }
    }

    int run(const std::vector<std::string>& words, MessagesOptions options = {})
    {
        MessagesRequest r;
        error_.clear();
        out_.clear();
        if (!parseMessagesRequest(words, &r, &error_))
            return exitUsage;
        return runMessagesRequest(*box_, r, options, 1796778123 + 3600, &out_, &error_);
    }

    kit::ScratchDir scratch_;
    std::string dir_ = scratch_.path();
    std::unique_ptr<Mailbox> box_;
    std::string out_, error_;
};

TEST_F(MessagesCommand, DeleteSaveAndRestoreByTheNumbersTheListShows)
{
    ASSERT_EQ(run({"list"}), exitOk) << error_;
    EXPECT_NE(out_.find("caller0"), std::string::npos);
    ASSERT_EQ(run({"delete", "1"}), exitOk) << error_;
    ASSERT_EQ(run({"save", "1"}), exitOk) << error_;
    EXPECT_EQ(out_, "message 1 saved\n");
    ASSERT_EQ(run({"save", "1"}), exitOk);
    EXPECT_EQ(out_, "message 1 is saved already\n");

    std::string e;
    std::vector<Message> all = box_->list(&e);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].meta.caller, "sip:caller1@h") << "message 1 was deleted, the old 2 is now 1";
    EXPECT_EQ(all[0].state, MessageState::Saved);

    ASSERT_EQ(run({"trash"}, {true, false}), exitOk) << error_;
    EXPECT_NE(out_.find("\"caller\" : \"sip:caller0@h\""), std::string::npos) << out_;
    ASSERT_EQ(run({"restore", "1"}), exitOk) << error_;
    EXPECT_EQ(box_->list(&e).size(), 3u);

    EXPECT_EQ(run({"delete", "4"}), exitFailure);
    EXPECT_EQ(error_, "no message 4 in the mailbox (1 to 3)");
    EXPECT_EQ(run({"restore", "1"}), exitFailure);
    EXPECT_EQ(error_, "no message 1 in the trash (it is empty)");
    EXPECT_EQ(run({"play", "1"}), exitFailure) << "the daemons' part";
}

TEST_F(MessagesCommand, ExportNeverReplacesAFileUnasked)
{
    std::string wav = dir_ + "/m.wav", e;
    ASSERT_EQ(run({"export", "2", wav}), exitOk) << error_;
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(readWholeFile(wav, &bytes, &e));
    EXPECT_EQ(bytes.size(), 44u + 2 * 16000) << "a 16-bit WAV of 2 s";

    EXPECT_EQ(run({"export", "1", wav}), exitFailure);
    EXPECT_NE(error_.find("--force"), std::string::npos) << error_;
    ASSERT_EQ(run({"export", "1", wav}, {false, true}), exitOk) << error_;
    ASSERT_TRUE(readWholeFile(wav, &bytes, &e));
    EXPECT_EQ(bytes.size(), 44u + 2 * 8000);

    // The message's own files are never an output, --force or not.
    Message m;
    ASSERT_TRUE(messageByNumber(*box_, 1, &m, &e)) << e;
    for (const std::string& own : {m.audioPath, m.metaPath}) {
        EXPECT_EQ(run({"export", "1", own}, {false, true}), exitFailure) << own;
        EXPECT_NE(error_.find("is the message itself"), std::string::npos) << error_;
    }
    ASSERT_TRUE(readWholeFile(m.audioPath, &bytes, &e));
    EXPECT_EQ(bytes, std::vector<uint8_t>(8000, 0x70));
}

TEST_F(MessagesCommand, PurgeSaysWhatWentAndAListSaysWhenEmpty)
{
    ASSERT_EQ(run({"purge"}), exitOk);
    EXPECT_EQ(out_, "0 files removed\n");
    std::system(("rm -f '" + dir_ + "'/box/new/*").c_str());
    ASSERT_EQ(run({}), exitOk);
    EXPECT_EQ(out_, "no messages\n");
    ASSERT_EQ(run({}, {true, false}), exitOk);
    EXPECT_EQ(out_, "[]\n");
    std::system(("rm -rf '" + dir_ + "'/box/new").c_str());
    EXPECT_EQ(run({}), exitFailure) << "a mailbox without its new/ folder is an error, not an empty list";
    EXPECT_NE(error_.find("/box/new"), std::string::npos) << error_;
}

} // namespace
} // namespace callctl
