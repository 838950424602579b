// The call driver against the real voicephone-daemon in answer mode, on a
// stand-in line: what the far end hears, what lands in the mailbox.
#include "answering_call.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

#include "daemon_process.h"
#include "line.h"
#include "live_caller.h"
#include "phrases.h"
#include "scratch_dir.h"
#include "segment.h"
#include "sound_device.h"
#include "tape_wav.h"

namespace callctl {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

using kit::fakeSpeech;
using kit::randomBytes;

Bytes pattern(size_t n, uint32_t seed) { return randomBytes(n, 1000 + seed); }

bool contains(const Bytes& haystack, const Bytes& needle)
{
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

class AnsweringCallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.empty());
        box_ = std::make_unique<Mailbox>(dir_ + "/box");
        std::string error;
        ASSERT_TRUE(box_->open(&error)) << error;
        prompts_ = std::make_unique<PromptCache>(dir_ + "/box/.prompts", "en",
                                                 [](const std::string& text, const std::string&, Bytes* out,
                                                    std::string*) {
                                                     *out = fakeSpeech(text);
                                                     return true;
                                                 });
        ControlBlock& cb = seg_.block();
        writeWord(cb.answerMode, 1);
        writeWord(cb.wrapMode, 1);
        writeWord(cb.audioFd, static_cast<uint32_t>(sound_.daemonFd()));
        writeWord(cb.ownerUid, getuid());
        writeWord(cb.ownerGid, getgid());
        signal(SIGPIPE, SIG_IGN);
    }
    void TearDown() override
    {
        caller_.stop();
        if (driver_.joinable())
            driver_.join();
        if (daemon_.running())
            daemon_.kill();
    }

    void send(Bytes raw) { caller_.send(std::move(raw)); }
    void sendSpeech(const Bytes& audio) { send(sim::doubleDle(audio)); }
    bool sent() { return caller_.sent(20s); }

    void startCall(CallSettings settings)
    {
        ASSERT_TRUE(sim::startVoicePhone(daemon_, line_, sound_, 160, seg_));
        ASSERT_TRUE(daemon_.waitForLine("PID (ttyI -> audio)", 10000ms)) << "awaited the daemon's start";
        ASSERT_EQ(readWord(seg_.block().phoneUp), 1u);
        caller_.start();
        settings.caller = "sip:alice@127.0.0.1:5062";
        settings.called = "sip:box@127.0.0.1";
        // The driver runs as serve will run it: one thread polling and
        // passing on the touchtones the daemon prints.
        driver_ = std::thread([this, settings] {
            AnsweringCall call(seg_.block(), *box_, *prompts_, settings,
                               [this](const std::string& line) { log_.push_back(line); });
            call.begin();
            size_t seen = 0;
            auto passKeys = [&] {
                std::vector<std::string> out = daemon_.lines().out;
                for (; seen < out.size(); ++seen) {
                    size_t at = out[seen].find("Touchtone '");
                    if (at != std::string::npos && at + 11 < out[seen].size())
                        call.key(out[seen][at + 11]);
                }
            };
            auto deadline = std::chrono::steady_clock::now() + 60s;
            while (std::chrono::steady_clock::now() < deadline) {
                passKeys();
                if (!call.poll())
                    break;
                std::this_thread::sleep_for(2ms);
            }
            // The daemon ends on the stop request (or the hang-up); the keys
            // it printed last still count.
            daemon_.wait(20000ms);
            passKeys();
            callOver_ = true;
            Message kept;
            if (call.finish(&kept))
                keptStem_ = kept.stem;
        });
    }
    // Waits until the far end has heard `bytes` somewhere in the call.
    bool heard(const Bytes& bytes, std::chrono::milliseconds timeout = 20000ms) { return caller_.heard(bytes, timeout); }
    std::string state()
    {
        ControlBlock& c = seg_.block();
        std::string s = "messageStart " + std::to_string(readWord(c.messageStart)) + " messagePlaying " +
                        std::to_string(readWord(c.messagePlaying)) + " messageDone " +
                        std::to_string(readWord(c.messageDone)) + " messageStop " +
                        std::to_string(readWord(c.messageStop)) + " responseStart " +
                        std::to_string(readWord(c.responseStart)) + " responseRecording " +
                        std::to_string(readWord(c.responseRecording)) + " responseStop " +
                        std::to_string(readWord(c.responseStop)) + " messagePath " + c.messagePath +
                        " heard " + std::to_string(line_.receivedCount());
        for (const std::string& l : daemon_.lines().err)
            s += "\n  daemon: " + l;
        return s;
    }
    void sendCode(const std::string& keys) { caller_.keys(keys); }
    void endOfCall()
    {
        driver_.join();
        caller_.stop();
        EXPECT_TRUE(callOver_);
        EXPECT_TRUE(daemon_.wait(10000ms).has_value()) << "awaited the daemon's end";
    }
    Message storeMessage(const Bytes& audio, int64_t start)
    {
        PendingMessage pending;
        std::string error;
        EXPECT_TRUE(box_->beginMessage(&pending, &error)) << error;
        EXPECT_TRUE(writeWholeFile(pending.audioPath, audio, &error)) << error;
        MessageMeta meta;
        meta.caller = "sip:bob@h";
        meta.start = start;
        Message m;
        EXPECT_TRUE(box_->commitMessage(&pending, meta, &m, &error)) << error;
        return m;
    }

    kit::ScratchDir scratch_;
    std::string dir_ = scratch_.path();
    std::unique_ptr<Mailbox> box_;
    std::unique_ptr<PromptCache> prompts_;
    sim::Segment seg_;
    sim::Line line_{sim::Line::Kind::SocketPair};
    kit::LiveCaller caller_{line_};
    sim::SoundDevice sound_{sim::SoundDevice::Kind::Socket, 1};
    sim::DaemonProcess daemon_;
    std::thread driver_;
    std::atomic<bool> callOver_{false};
    std::vector<std::string> log_;
    std::string keptStem_;
};

TEST_F(AnsweringCallTest, ACallerHearsTheGreetingAndBeepAndLeavesAMessage)
{
    Bytes greeting = pattern(2400, 1);
    std::string error;
    ASSERT_TRUE(writeWholeFile(dir_ + "/greeting.ul", greeting, &error));
    CallSettings settings;
    settings.greetingPath = dir_ + "/greeting.ul";
    settings.onMessage = "cp \"$MESSAGE_WAV\" " + dir_ + "/mailed.wav";
    startCall(settings);

    Bytes greetingAndBeep = greeting;
    Bytes beep = beepTone();
    greetingAndBeep.insert(greetingAndBeep.end(), beep.begin(), beep.end());
    ASSERT_TRUE(line_.waitForReceived(greetingAndBeep.size(), 20000ms)) << "awaited greeting and beep";
    ASSERT_TRUE(seg_.waitFor(seg_->responseRecording, 1, 20000ms)) << "awaited the start of the recording";
    Bytes speech = pattern(16000, 9);
    sendSpeech(speech);
    sendCode("5"); // a key while talking
    send({sim::DLE, sim::ETX}); // the caller hangs up
    endOfCall();

    EXPECT_EQ(line_.received(), greetingAndBeep) << "exactly the greeting and the beep, nothing else";
    std::vector<Message> all = box_->list(&error);
    ASSERT_EQ(all.size(), 1u) << error;
    EXPECT_EQ(all[0].stem, keptStem_);
    EXPECT_EQ(all[0].meta.caller, "sip:alice@127.0.0.1:5062");
    EXPECT_EQ(all[0].meta.called, "sip:box@127.0.0.1");
    EXPECT_EQ(all[0].meta.endReason, "hang-up");
    EXPECT_EQ(all[0].meta.touchtones, "5");
    Bytes stored;
    ASSERT_TRUE(readWholeFile(all[0].audioPath, &stored, &error));
    EXPECT_EQ(all[0].meta.durationSamples, stored.size());
    // The line's silence around the words, and the words whole.
    auto at = std::search(stored.begin(), stored.end(), speech.begin(), speech.end());
    ASSERT_NE(at, stored.end()) << "the caller's words are in the message";
    EXPECT_TRUE(std::all_of(stored.begin(), at, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(std::all_of(at + static_cast<long>(speech.size()), stored.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(access((dir_ + "/mailed.wav").c_str(), R_OK), 0) << "the --on-message command ran with the WAV";
}

TEST_F(AnsweringCallTest, TheOwnerListensAndDeletesByTouchtone)
{
    Bytes first = pattern(4000, 3), second = pattern(4000, 5);
    time_t now = time(nullptr);
    storeMessage(first, now - 120);
    storeMessage(second, now - 60);
    CallSettings settings;
    settings.menu.pin = "2468";
    startCall(settings); // the built-in greeting

    ASSERT_TRUE(line_.waitForReceived(100, 20000ms)) << "awaited the greeting";
    sendCode("*2468#");
    ASSERT_TRUE(heard(fakeSpeech(countPhrase(2, 0)))) << "awaited the count";
    ASSERT_TRUE(heard(first)) << "awaited the first message; " << state();
    sendCode("3");
    ASSERT_TRUE(heard(fakeSpeech(phrase::deleted))) << "awaited the word that it is deleted";
    ASSERT_TRUE(heard(second)) << "awaited the second message";
    std::string error;
    ASSERT_TRUE(seg_.waitUntil([&] { return box_->listTrash(&error).size() == 1; }, 20000ms));
    // A code keyed while listening is no reason to count the messages
    // afresh: 3 still deletes the message being heard.
    sendCode("*1357#3");
    ASSERT_TRUE(seg_.waitUntil([&] { return box_->listTrash(&error).size() == 2; }, 20000ms))
        << "awaited the second deletion";
    sendCode("#");
    ASSERT_TRUE(heard(fakeSpeech(phrase::goodbye)));
    endOfCall();

    std::vector<Message> left = box_->list(&error), trash = box_->listTrash(&error);
    EXPECT_TRUE(left.empty());
    ASSERT_EQ(trash.size(), 2u);
    Bytes audio;
    ASSERT_TRUE(readWholeFile(trash[0].audioPath, &audio, &error));
    EXPECT_EQ(audio, first) << "the message deleted first was the one heard first";
    ASSERT_TRUE(readWholeFile(trash[1].audioPath, &audio, &error));
    EXPECT_EQ(audio, second);
    EXPECT_TRUE(log_.empty()) << log_.front();
}

TEST_F(AnsweringCallTest, ThreeWrongCodesEndTheCallAndChangeNothing)
{
    storeMessage(pattern(800, 1), time(nullptr) - 60);
    CallSettings settings;
    settings.menu.pin = "2468";
    startCall(settings);
    ASSERT_TRUE(line_.waitForReceived(100, 20000ms)) << "awaited the greeting";
    Bytes refusal = fakeSpeech(phrase::wrongCode);
    auto refusals = [&] {
        Bytes got = line_.received();
        size_t n = 0;
        for (auto at = got.begin(); (at = std::search(at, got.end(), refusal.begin(), refusal.end())) != got.end();
             at += static_cast<long>(refusal.size()))
            ++n;
        return n;
    };
    for (size_t i = 0; i < 3; ++i) {
        sendCode("*1357#");
        if (i < 2) {
            // A code keyed before the last one was taken would be lost.
            ASSERT_TRUE(seg_.waitUntil([&] { return refusals() == i + 1; }, 20000ms)) << "awaited refusal " << i + 1;
        }
    }
    ASSERT_TRUE(heard(fakeSpeech(phrase::wrongCodeLast)));
    endOfCall();
    std::string error;
    std::vector<Message> all = box_->list(&error);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_FALSE(all[0].meta.heard);
    EXPECT_TRUE(box_->listTrash(&error).empty());
    EXPECT_EQ(readWord(seg_->stopRequest), 1u) << "the call was ended by us";
    EXPECT_FALSE(contains(line_.received(), fakeSpeech(phrase::goodbye))) << "by the third code, not by a time-out";
}

} // namespace
} // namespace callctl
