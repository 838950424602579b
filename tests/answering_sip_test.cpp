// The answering machine on a real line: sipline answers, runs callctl serve
// per call, and Debian's baresip is the caller -- in a loopback-only network
// namespace of the test's own, every process under a time limit.
#include "sipline_harness.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include "mailbox.h"
#include "phrases.h"
#include "prompts.h"
#include "scratch_dir.h"
#include "whole_file.h"

using namespace siptest;

namespace {

constexpr uint16_t farPort = 5070;
const std::string siplineUri = "sip:line@127.0.0.1:5060";
const char* const jitter = "200"; // outlasts a loaded machine's stalls
const std::string pin = "2468";

// Every byte value but the two zeros, which a far end encoding linear
// audio cannot tell apart: what it says arrives exactly as given.
Bytes speech(int rounds, int seed)
{
    Bytes out;
    for (uint8_t b : everyByte(rounds + seed))
        if (b != 0x7F)
            out.push_back(b);
    return Bytes(out.end() - rounds * 255, out.end());
}

size_t occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size())
        ++n;
    return n;
}

class AnsweringSip : public ::testing::Test {
protected:
    void SetUp() override
    {
        box_ = scratch_ / "box";
        mailbox_ = std::make_unique<callctl::Mailbox>(box_);
        std::string error;
        ASSERT_TRUE(mailbox_->open(&error)) << error;
    }
    // The --exec command for one call: callctl serve on the socket line.
    std::string serveCommand(const std::string& extra = "") const
    {
        return "exec /usr/bin/timeout 200 '" + sim::programPath("callctl") +
               "' serve --line fd:$SIPLINE_FD --mailbox '" + box_ + "' --pin " + pin + " --transcript '" +
               scratch_ / "transcript-'$$ " + extra;
    }
    bool startSipline(std::vector<std::string> args)
    {
        std::vector<std::string> all{"--sip", "127.0.0.1:5060", "--rtp-ports", "20000-20099", "--jitter", jitter};
        all.insert(all.end(), args.begin(), args.end());
        return siptest::startSipline(sipline_, all, {}, 280) && sipline_.waitForLine("listening for SIP", 10000ms);
    }
    // What callctl wrote to the transcripts of the calls so far.
    std::string transcripts() const
    {
        std::string all;
        for (const auto& e : std::filesystem::directory_iterator(scratch_.path()))
            if (e.path().filename().string().rfind("transcript-", 0) == 0)
                all += kit::readText(e.path());
        return all;
    }
    std::string said() const { return sipline_.output() + sipline_.errors(); }
    std::vector<callctl::Message> messages() const
    {
        std::string error;
        return mailbox_->list(&error);
    }
    std::vector<callctl::Message> trash() const
    {
        std::string error;
        return mailbox_->listTrash(&error);
    }

    kit::ScratchDir scratch_;
    std::string box_;
    std::unique_ptr<callctl::Mailbox> mailbox_;
    sim::DaemonProcess sipline_;
};

// Cases 1 and 2: a caller leaves a message, then the owner calls in, keys
// the code, hears that message and deletes it.
TEST_F(AnsweringSip, AMessageLeftThenHeardAndDeletedByTheOwner)
{
    SIPLINE_PRIVATE_NETWORK();
    Bytes greeting = everyByte(16); // 4096 bytes: 0.512 s, every value, 0x10 and both zeros among them
    ASSERT_TRUE(kit::writeFile(box_ + "/greeting.ul", greeting));
    Bytes words = speech(16, 3);
    ASSERT_TRUE(startSipline({"--calls", "2", "--exec", serveCommand(), "answer"}));

    {
        // The greeting and the beep take about a second; the caller speaks
        // after 5 s of silence and hangs up 1 s after its words.
        FarEnd caller(farPort, silence(8000 * 5) + linear(words) + silence(8000));
        ASSERT_TRUE(caller.start(siplineUri, 40));
        ASSERT_TRUE(waitUntil([&] { return messages().size() == 1; }, 90000ms)) << said() << transcripts();
        // What it heard is on disk once its side of the call has ended.
        EXPECT_TRUE(waitUntil([&] { return find(caller.heard(), linearAsHeard(greeting)) != std::string::npos; },
                              20000ms))
            << "the greeting did not reach the caller bit-exact; heard " << caller.heard().size() << " samples";
    }
    // The line takes the next call once callctl is done with this one.
    ASSERT_TRUE(sipline_.waitForLine("the application let go of the line", 60000ms)) << said();
    std::vector<callctl::Message> left = messages();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_NE(left[0].meta.caller.find("far@127.0.0.1"), std::string::npos) << left[0].meta.caller;
    EXPECT_EQ(left[0].meta.endReason, "hang-up");
    Bytes stored = kit::readFile(left[0].audioPath);
    EXPECT_EQ(left[0].meta.durationSamples, stored.size());
    EXPECT_NE(find(stored, canonicalAll(words)), std::string::npos)
        << "the caller's words are not whole in the message of " << stored.size() << " bytes";

    {
        FarEnd owner(farPort + 2, silence(8000 * 120));
        ASSERT_TRUE(owner.start(siplineUri, 130));
        ASSERT_TRUE(waitUntil([&] { return occurrences(transcripts(), "phoneUp 0 -> 1") == 2; }, 60000ms))
            << "awaited the second call; " << said();
        // The code as RFC 4733 events, during the greeting.
        ASSERT_TRUE(waitUntil([&] { return owner.command("sndcode", "*" + pin + "#"); }, 60000ms)) << said();
        // Played to the end, the message is marked heard; 3 then deletes it.
        ASSERT_TRUE(waitUntil([&] { return !messages().empty() && messages()[0].meta.heard; }, 120000ms))
            << said() << transcripts();
        ASSERT_TRUE(owner.command("sndcode", "3"));
        ASSERT_TRUE(waitUntil([&] { return trash().size() == 1; }, 60000ms)) << transcripts();
        ASSERT_TRUE(owner.command("sndcode", "#"));
        ASSERT_EQ(sipline_.wait(120000ms), 0) << said();
        EXPECT_TRUE(waitUntil([&] { return find(owner.heard(), linearAsHeard(stored)) != std::string::npos; },
                              20000ms))
            << "the owner did not hear the message bit-exact; heard " << owner.heard().size() << " samples";
    }
    EXPECT_TRUE(messages().empty());
    ASSERT_EQ(trash().size(), 1u);
    EXPECT_EQ(kit::readFile(trash()[0].audioPath), stored);
}

// Case 3: three wrong codes end the call; the mailbox is as it was.
TEST_F(AnsweringSip, ThreeWrongCodesEndTheCallAndChangeNothing)
{
    SIPLINE_PRIVATE_NETWORK();
    callctl::PendingMessage pending;
    std::string error;
    ASSERT_TRUE(mailbox_->beginMessage(&pending, &error)) << error;
    ASSERT_TRUE(kit::writeFile(pending.audioPath, everyByte(4)));
    callctl::MessageMeta meta;
    meta.caller = "sip:bob@127.0.0.1";
    meta.start = time(nullptr) - 60;
    callctl::Message kept;
    ASSERT_TRUE(mailbox_->commitMessage(&pending, meta, &kept, &error)) << error;
    std::string record = kit::readText(kept.metaPath);

    ASSERT_TRUE(startSipline({"--calls", "1", "--exec", serveCommand(), "answer"}));
    FarEnd caller(farPort, silence(8000 * 120));
    ASSERT_TRUE(caller.start(siplineUri, 130));
    ASSERT_TRUE(waitUntil([&] { return occurrences(transcripts(), "phoneUp 0 -> 1") == 1; }, 60000ms))
        << "awaited the call; " << said();
    for (size_t i = 1; i <= 3; ++i) {
        ASSERT_TRUE(waitUntil([&] { return caller.command("sndcode", "*1357#"); }, 60000ms)) << said();
        // The daemon holds one code at a time: the next is keyed once this
        // one has come in whole.
        ASSERT_TRUE(waitUntil([&] { return occurrences(transcripts(), "Touchtone '#'") >= i; }, 60000ms))
            << "awaited code " << i << "; " << said() << transcripts();
    }
    ASSERT_EQ(sipline_.wait(120000ms), 0) << said();
    // Ended by the third code, not by waiting in vain for a fourth.
    callctl::PromptCache prompts(box_ + "/.prompts");
    std::string played = transcripts();
    EXPECT_NE(played.find(prompts.fileNameFor(callctl::phrase::wrongCodeLast)), std::string::npos) << played;
    EXPECT_EQ(played.find(prompts.fileNameFor(callctl::phrase::goodbye)), std::string::npos) << played;
    std::vector<callctl::Message> all = messages();
    ASSERT_EQ(all.size(), 1u) << "no message from the caller who keyed the codes";
    EXPECT_EQ(kit::readText(all[0].metaPath), record);
    EXPECT_EQ(kit::readFile(all[0].audioPath), everyByte(4));
    EXPECT_TRUE(trash().empty());
}

// Case 4: two calls at once on two lines into one mailbox.
TEST_F(AnsweringSip, TwoCallsAtOnceLeaveTwoWholeMessages)
{
    SIPLINE_PRIVATE_NETWORK();
    Bytes forA = speech(24, 1), forB = speech(24, 2);
    ASSERT_TRUE(kit::writeFile(box_ + "/greeting.ul", everyByte(8))); // 0.256 s: the words come well after
    {
        std::ofstream config(scratch_ / "lines.conf");
        config << "a 100 exec " << serveCommand() << "\n"
               << "b 200 exec " << serveCommand() << "\n";
    }
    ASSERT_TRUE(startSipline({"--calls", "2", "serve", "--config", scratch_ / "lines.conf"}));
    FarEnd toA(farPort, silence(8000 * 5) + linear(forA) + silence(8000));
    FarEnd toB(farPort + 2, silence(8000 * 5) + linear(forB) + silence(8000));
    ASSERT_TRUE(toA.start("sip:100@127.0.0.1:5060", 40));
    ASSERT_TRUE(toB.start("sip:200@127.0.0.1:5060", 40));
    ASSERT_EQ(sipline_.wait(120000ms), 0) << said();

    std::vector<callctl::Message> all = messages();
    ASSERT_EQ(all.size(), 2u) << said();
    EXPECT_NE(all[0].audioPath, all[1].audioPath);
    size_t withA = 0, withB = 0;
    for (const callctl::Message& m : all) {
        Bytes audio = kit::readFile(m.audioPath);
        EXPECT_EQ(m.meta.durationSamples, audio.size()) << "complete: its record matches its audio";
        bool a = find(audio, canonicalAll(forA)) != std::string::npos;
        bool b = find(audio, canonicalAll(forB)) != std::string::npos;
        EXPECT_NE(a, b) << m.stem << " holds one caller's words, whole";
        withA += a;
        withB += b;
    }
    EXPECT_EQ(withA, 1u);
    EXPECT_EQ(withB, 1u);
}

} // namespace
