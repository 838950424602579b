// callctl serve on a stand-in line: the test is the caller at the far end of
// a socket pair handed over as --line fd:N, and checks what it heard, what
// landed in the mailbox and what callctl said.
#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

#include "callctl_kit.h"
#include "line.h"
#include "live_caller.h"
#include "mailbox.h"
#include "phrases.h"
#include "prompts.h"
#include "tape_wav.h"

namespace {

using namespace callctl_kit;
using Bytes = std::vector<uint8_t>;

using kit::fakeSpeech;
using kit::randomBytes;

bool contains(const Bytes& hay, const Bytes& needle)
{
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

size_t count(const Bytes& hay, const Bytes& needle)
{
    size_t n = 0;
    for (auto at = hay.begin(); (at = std::search(at, hay.end(), needle.begin(), needle.end())) != hay.end();
         at += static_cast<long>(needle.size()))
        ++n;
    return n;
}

class ServeTest : public ScratchTest {
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        box_ = std::make_unique<callctl::Mailbox>(path("box"));
        std::string error;
        ASSERT_TRUE(box_->open(&error)) << error;
        // The prompts the call speaks, made in advance in the cache serve
        // uses; the message intros are left to the synthesizer.
        callctl::PromptCache cache(path("box/.prompts"));
        ASSERT_EQ(mkdir(path("box/.prompts").c_str(), 0700), 0);
        using namespace callctl::phrase;
        for (const char* text : {greeting, thanks, goodbye, wrongCode, wrongCodeLast, deleted, saved, help,
                                 endOfMessages})
            ASSERT_TRUE(kit::writeFile(path("box/.prompts/" + cache.fileNameFor(text)), fakeSpeech(text)));
        for (size_t n = 0; n < 3; ++n)
            ASSERT_TRUE(kit::writeFile(path("box/.prompts/" + cache.fileNameFor(callctl::countPhrase(n, 0))),
                                       fakeSpeech(callctl::countPhrase(n, 0))));
    }
    void TearDown() override { caller_.stop(); }

    // callctl serve on the line, and the far end talking: 80 bytes of
    // silence every 10 ms unless something was queued to say.
    // `limit`: a shell line run before callctl, e.g. a ulimit.
    void serve(std::vector<std::string> options, const std::string& limit = "", const std::string& pinEnv = "")
    {
        std::vector<std::string> argv{sim::programPath("callctl"), "serve", "--line",
                                      "fd:" + std::to_string(line_.daemonFd()), "--mailbox", path("box")};
        argv.insert(argv.end(), options.begin(), options.end());
        if (!limit.empty()) {
            std::string line = limit + "; exec";
            for (const std::string& a : argv)
                line += " '" + a + "'";
            argv = {"/bin/sh", "-c", line};
        }
        std::vector<std::string> env{"SIPLINE_CALLER=sip:alice@127.0.0.1:5062", "SIPLINE_CALLED=sip:box@127.0.0.1"};
        if (!pinEnv.empty())
            env.push_back("ORVEX_PIN=" + pinEnv);
        ASSERT_TRUE(callctl_.start(argv[0], argv, {line_.daemonFd()}, env));
        line_.closeDaemonEnd();
        caller_.start();
    }
    void send(Bytes raw) { caller_.send(std::move(raw)); }
    void keys(const std::string& k) { caller_.keys(k); }
    bool heard(const Bytes& bytes, std::chrono::milliseconds timeout = 30000ms) { return caller_.heard(bytes, timeout); }
    // callctl's exit status once the call is over.
    std::optional<int> ended()
    {
        std::optional<int> status = callctl_.wait(60000ms);
        caller_.stop();
        return status;
    }
    callctl::Message store(const Bytes& audio, int64_t start)
    {
        callctl::PendingMessage pending;
        std::string error;
        EXPECT_TRUE(box_->beginMessage(&pending, &error)) << error;
        EXPECT_TRUE(kit::writeFile(pending.audioPath, audio));
        callctl::MessageMeta meta;
        meta.caller = "sip:bob@h";
        meta.start = start;
        callctl::Message m;
        EXPECT_TRUE(box_->commitMessage(&pending, meta, &m, &error)) << error;
        return m;
    }
    // Whether the message being recorded (in the mailbox's .tmp/) grows.
    bool recording()
    {
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            std::error_code ec;
            for (const auto& e : std::filesystem::directory_iterator(path("box/.tmp"), ec))
                if (e.path().extension() == ".ul" && e.file_size(ec) > 0)
                    return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    std::string said() const { return callctl_.output() + callctl_.errors(); }

    std::unique_ptr<callctl::Mailbox> box_;
    sim::Line line_{sim::Line::Kind::SocketPair};
    kit::LiveCaller caller_{line_};
    sim::DaemonProcess callctl_;
};

TEST_F(ServeTest, ACallerHearsTheGreetingAndBeepAndLeavesAMessage)
{
    Bytes greeting = randomBytes(4000, 7);
    ASSERT_TRUE(kit::writeFile(path("box/greeting.ul"), greeting));
    // Deleted 8 days and 6 days ago: the call ends the first, as the trash
    // keeps messages 7 days.
    int64_t now = time(nullptr);
    callctl::Message expired = store(randomBytes(800, 11), now - 9 * 86400);
    callctl::Message recent = store(randomBytes(800, 12), now - 7 * 86400);
    std::string error;
    ASSERT_TRUE(box_->moveToTrash(&expired, now - 8 * 86400, &error)) << error;
    ASSERT_TRUE(box_->moveToTrash(&recent, now - 6 * 86400, &error)) << error;
    serve({"--on-message", "cp \"$MESSAGE_JSON\" '" + path("mailed.json") + "'"});
    Bytes expected = greeting, beep = callctl::beepTone();
    expected.insert(expected.end(), beep.begin(), beep.end());
    ASSERT_TRUE(line_.waitForReceived(expected.size(), 30000ms)) << "awaited the greeting and the beep; " << said();
    // Words said before the recording starts would be lost: the caller
    // talks once the line's silence is going into the message.
    ASSERT_TRUE(recording()) << "awaited the start of the recording; " << said();
    Bytes speech = randomBytes(16000, 9);
    send(sim::doubleDle(speech));
    keys("5");
    keys(std::string(1, static_cast<char>(sim::ETX))); // hangs up
    ASSERT_EQ(ended(), 0) << said();

    EXPECT_EQ(line_.received(), expected) << "exactly the greeting and the beep";
    std::vector<callctl::Message> all = box_->list(&error);
    ASSERT_EQ(all.size(), 1u) << error << said();
    EXPECT_EQ(all[0].state, callctl::MessageState::New);
    EXPECT_EQ(all[0].meta.caller, "sip:alice@127.0.0.1:5062");
    EXPECT_EQ(all[0].meta.called, "sip:box@127.0.0.1");
    EXPECT_EQ(all[0].meta.endReason, "hang-up");
    EXPECT_EQ(all[0].meta.touchtones, "5");
    Bytes stored = kit::readFile(all[0].audioPath);
    EXPECT_EQ(all[0].meta.durationSamples, stored.size());
    EXPECT_TRUE(contains(stored, speech)) << "the caller's words, whole, in the message";
    EXPECT_NE(callctl_.output().find("new message " + all[0].stem), std::string::npos) << said();
    EXPECT_EQ(kit::readText(path("mailed.json")), kit::readText(all[0].metaPath)) << "--on-message ran";
    std::vector<callctl::Message> trash = box_->listTrash(&error);
    ASSERT_EQ(trash.size(), 1u) << said();
    EXPECT_EQ(trash[0].stem, recent.stem);
}

TEST_F(ServeTest, TheOwnerKeysThePinListensAndDeletes)
{
    Bytes first = randomBytes(4000, 3), second = randomBytes(4000, 5);
    int64_t now = time(nullptr);
    store(first, now - 120);
    store(second, now - 60);
    // The code as a service passes it, out of sight of ps; the spoken
    // greeting (here: its stand-in).
    serve({}, "", "2468");
    ASSERT_TRUE(heard(fakeSpeech(callctl::phrase::greeting))) << said();
    keys("*2468#");
    ASSERT_TRUE(heard(fakeSpeech(callctl::countPhrase(2, 0)))) << "awaited the count; " << said();
    ASSERT_TRUE(heard(first)) << "awaited the first message; " << said();
    keys("3");
    ASSERT_TRUE(heard(fakeSpeech(callctl::phrase::deleted))) << said();
    ASSERT_TRUE(heard(second)) << said();
    // The owner hangs up once the message is over, as the answering machine
    // knows it: the daemon notices a message's end one cycle after its last
    // bytes, and a key pressed within that cycle interrupts it unheard.
    auto secondHeard = [&] {
        std::string why;
        for (const callctl::Message& m : box_->list(&why))
            if (m.meta.heard)
                return true;
        return false;
    };
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!secondHeard() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(secondHeard()) << "awaited the second message marked as heard; " << said();
    keys("#");
    ASSERT_TRUE(heard(fakeSpeech(callctl::phrase::goodbye))) << said();
    ASSERT_EQ(ended(), 0) << said();

    std::string error;
    std::vector<callctl::Message> left = box_->list(&error), trash = box_->listTrash(&error);
    ASSERT_EQ(trash.size(), 1u) << said();
    EXPECT_EQ(kit::readFile(trash[0].audioPath), first);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(kit::readFile(left[0].audioPath), second);
    EXPECT_TRUE(left[0].meta.heard) << "played to the owner";
    EXPECT_NE(callctl_.output().find("no new message"), std::string::npos) << "the code dropped the recording; "
                                                                          << said();
}

TEST_F(ServeTest, ThreeWrongCodesEndTheCallWithTheMailboxUnchanged)
{
    store(randomBytes(800, 1), time(nullptr) - 60);
    std::string error;
    std::string before = kit::readText(box_->list(&error)[0].metaPath);
    serve({"--pin", "2468"});
    ASSERT_TRUE(line_.waitForReceived(100, 30000ms)) << said();
    Bytes refusal = fakeSpeech(callctl::phrase::wrongCode);
    for (size_t i = 0; i < 3; ++i) {
        keys("*1357#");
        if (i == 2)
            break;
        // A code keyed before the last one was taken would be lost.
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (count(line_.received(), refusal) < i + 1 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        ASSERT_EQ(count(line_.received(), refusal), i + 1) << "awaited refusal " << i + 1 << "; " << said();
    }
    ASSERT_TRUE(heard(fakeSpeech(callctl::phrase::wrongCodeLast))) << said();
    ASSERT_EQ(ended(), 0) << said();
    std::vector<callctl::Message> all = box_->list(&error);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(kit::readText(all[0].metaPath), before) << "not even marked heard";
    EXPECT_TRUE(box_->listTrash(&error).empty());
    EXPECT_FALSE(contains(line_.received(), fakeSpeech(callctl::countPhrase(1, 0)))) << "never let in";
}

// A message that cannot be written (the file size limit stands in for a
// full disk) is a failure of the call, and leaves nothing that lists.
TEST_F(ServeTest, AMessageThatCannotBeWrittenIsAFailure)
{
    ASSERT_TRUE(kit::writeFile(path("box/greeting.ul"), randomBytes(800, 2)));
    serve({}, "ulimit -f 12"); // 6 KiB in the shell's 512-byte blocks: the prompts and the beep fit, the message does not
    ASSERT_TRUE(recording()) << "awaited the start of the recording; " << said();
    send(sim::doubleDle(randomBytes(16000, 9)));
    keys(std::string(1, static_cast<char>(sim::ETX)));
    EXPECT_EQ(ended(), 1) << said();
    EXPECT_NE(callctl_.errors().find("the message could not be written"), std::string::npos) << said();
    EXPECT_NE(callctl_.errors().find("\"Orvex ttyI2Audio daemon: Error writing to response file"), std::string::npos)
        << "the daemon's own words, quoted; " << said();
    EXPECT_EQ(callctl_.output().find("new message"), std::string::npos) << said();
    std::string error;
    EXPECT_TRUE(box_->list(&error).empty()) << said();
    EXPECT_TRUE(std::filesystem::is_empty(path("box/.tmp"))) << "no partial message left behind";
}

// The stand-in line (--line sim, the default): a caller that listens at
// the line's pace, says what --caller holds once and hangs up.
TEST_F(ServeTest, TheStandInCallerLeavesItsWordsAsAMessage)
{
    ASSERT_TRUE(kit::writeFile(path("box/greeting.ul"), randomBytes(2000, 4)));
    Bytes words(8000);
    for (size_t i = 0; i < words.size(); ++i)
        words[i] = static_cast<uint8_t>(0x20 + i % 90); // never DLE
    std::string error;
    ASSERT_TRUE(callctl::writeUlawWav(path("caller.wav"), 1, words, callctl::WavEncoding::Ulaw, &error)) << error;
    Outcome r = callctl_kit::callctl({"serve", "--mailbox", path("box"), "--caller", path("caller.wav")}, 60000ms);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<callctl::Message> all = box_->list(&error);
    ASSERT_EQ(all.size(), 1u) << r.out << r.err;
    EXPECT_EQ(all[0].meta.caller, "unknown") << "no SIPLINE_CALLER here";
    EXPECT_EQ(all[0].meta.endReason, "hang-up");
    EXPECT_TRUE(contains(kit::readFile(all[0].audioPath), words)) << "the caller's words, whole";
    EXPECT_EQ(r.out.substr(r.out.find("new message")), "new message " + all[0].stem + " (0:01, hang-up)\n");
    r = callctl_kit::callctl({"serve", "--mailbox", path("box"), "--line", "fd:5", "--caller", path("caller.wav")});
    EXPECT_EQ(r.status, 2) << "--caller is for the stand-in line";
}

TEST_F(ServeTest, UsageErrorsAndFailuresAreTold)
{
    Outcome r = callctl_kit::callctl({"serve"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--mailbox DIR is required"), std::string::npos) << r.err;
    r = callctl_kit::callctl({"serve", "--mailbox", path("box"), "--pin", "12a"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--pin: '12a'"), std::string::npos) << r.err;
    r = callctl_kit::callctl({"serve", "--mailbox", path("box"), "--max-message", "0"});
    EXPECT_EQ(r.status, 2) << r.err;
    r = callctl_kit::callctl({"serve", "--mailbox", path("box"), "--greeting", path("missing.ul")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("can't read the greeting"), std::string::npos) << r.err;
    r = callctl_kit::callctl({"serve", "--mailbox", "/proc/nowhere"});
    EXPECT_EQ(r.status, 1) << r.err;
    r = callctl_kit::callctl({"help", "serve"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("SIPLINE_CALLER"), std::string::npos);
}

} // namespace
