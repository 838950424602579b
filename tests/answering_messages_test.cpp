// callctl messages, the owner at home: the list for scripts, a message
// played through ALSA (a private configuration whose speaker is the `file`
// plugin, so the bytes that reach it can be checked) and a greeting
// recorded from a WAV microphone.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <json/json.h>
#include <sstream>
#include <sys/stat.h>

#include "audio_io.h"
#include "callctl_kit.h"
#include "mailbox.h"
#include "tape_wav.h"

namespace {

using namespace callctl_kit;
using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t n, uint8_t step)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * step + 3);
    return b;
}

class MessagesTest : public ScratchTest {
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        box_ = std::make_unique<callctl::Mailbox>(path("box"));
        std::string error;
        ASSERT_TRUE(box_->open(&error)) << error;
        std::ofstream conf(path("asound.conf"));
        conf << "pcm.nullslave { type null }\n"
                "pcm.speaker {\n"
                "  type file\n"
                "  slave.pcm \"nullslave\"\n"
                "  file \""
             << path("speaker.raw")
             << "\"\n"
                "  format \"raw\"\n"
                "}\n"
                "pcm.default \"speaker\"\n";
    }
    callctl::Message store(const Bytes& audio, int64_t start, const std::string& caller)
    {
        callctl::PendingMessage pending;
        std::string error;
        EXPECT_TRUE(box_->beginMessage(&pending, &error)) << error;
        EXPECT_TRUE(kit::writeFile(pending.audioPath, audio));
        callctl::MessageMeta meta;
        meta.caller = caller;
        meta.called = "sip:box@127.0.0.1";
        meta.start = start;
        meta.endReason = "hang-up";
        callctl::Message m;
        EXPECT_TRUE(box_->commitMessage(&pending, meta, &m, &error)) << error;
        return m;
    }
    Outcome messages(const std::string& words, const std::string& keys = "")
    {
        return shell("cd '" + dir_ + "' && printf '" + keys + "' | ALSA_CONFIG_PATH='" + path("asound.conf") +
                         "' '" + sim::programPath("callctl") + "' messages --mailbox box " + words,
                     60000ms);
    }
    std::unique_ptr<callctl::Mailbox> box_;
};

TEST_F(MessagesTest, ListsForScriptsAndPlaysThroughAlsaMarkingItHeard)
{
    int64_t now = time(nullptr);
    Bytes first = pattern(12000, 11), second = pattern(4000, 7);
    store(second, now - 60, "sip:bob@h");
    store(first, now - 600, "sip:alice@h");
    Outcome r = messages("list --json");
    ASSERT_EQ(r.status, 0) << r.err;
    Json::Value list;
    std::istringstream in(r.out);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &list, nullptr)) << r.out;
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]["number"].asUInt(), 1u);
    EXPECT_EQ(list[0]["caller"].asString(), "sip:alice@h") << "oldest first";
    EXPECT_EQ(list[0]["durationSamples"].asUInt(), first.size());
    EXPECT_EQ(list[0]["state"].asString(), "new");
    EXPECT_FALSE(list[0]["heard"].asBool());
    EXPECT_EQ(list[1]["caller"].asString(), "sip:bob@h");

    r = messages("play 1 --sound alsa");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(kit::readFile(path("speaker.raw")), first) << "the message, byte for byte, at the speaker";
    EXPECT_NE(r.out.find("played 00:01.5"), std::string::npos) << r.out;
    std::string error;
    std::vector<callctl::Message> all = box_->list(&error);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_TRUE(all[0].meta.heard);
    EXPECT_FALSE(all[1].meta.heard);
    r = messages("list");
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("heard"), std::string::npos) << r.out;

    r = messages("play 3 --sound alsa");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no message 3"), std::string::npos) << r.err;
    r = messages("play 2 --sound alsa:nosuchdevice");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_FALSE(box_->list(&error)[1].meta.heard) << "not heard when it could not be played";

    // A WAV that outgrows the file size limit (a full disk) is a failure
    // told, not a death by SIGXFSZ, and leaves no part of itself.
    r = shell("cd '" + dir_ + "' && ulimit -f 4 && '" + sim::programPath("callctl") +
              "' messages --mailbox box export 1 first.wav");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("first.wav"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(path("first.wav")));
    r = messages("export 1 first.wav");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::filesystem::file_size(path("first.wav")), 44 + 2 * first.size()) << "16-bit PCM, whole";

    r = messages("delete 2");
    ASSERT_EQ(r.status, 0) << r.err;
    r = messages("trash --json");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("sip:bob@h"), std::string::npos) << r.out;
    r = messages("restore 1");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(box_->list(&error).size(), 2u);
}

TEST_F(MessagesTest, AGreetingRecordedFromAWavMicrophoneReplacesTheOldOneWhole)
{
    Bytes said = pattern(9600, 13);
    std::string error;
    ASSERT_TRUE(callctl::writeUlawWav(path("mic.wav"), 1, said, callctl::WavEncoding::Ulaw, &error)) << error;
    Bytes old = pattern(800, 5);
    ASSERT_TRUE(kit::writeFile(path("box/greeting.ul"), old));

    // A microphone that can't be opened leaves the greeting as it was.
    Outcome r = messages("greeting record --sound alsa:nosuchdevice");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unchanged"), std::string::npos) << r.err;
    EXPECT_EQ(kit::readFile(path("box/greeting.ul")), old);

    r = messages("greeting record --sound mic.wav");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(kit::readFile(path("box/greeting.ul")), said) << "the whole WAV, nothing more";
    EXPECT_NE(r.out.find("recorded the greeting"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("played 00:01.2"), std::string::npos) << "played back; " << r.out;
    struct stat st;
    ASSERT_EQ(stat(path("box/greeting.ul").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "a private file, as the messages are";
    EXPECT_TRUE(std::filesystem::is_empty(path("box/.tmp"))) << "no take left behind";

    r = messages("greeting play --sound alsa");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(kit::readFile(path("speaker.raw")), said);
}

TEST_F(MessagesTest, RequestsAndMailboxesThatAreWrongAreTold)
{
    Outcome r = messages("frobnicate");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown request"), std::string::npos) << r.err;
    r = messages("play");
    EXPECT_EQ(r.status, 2) << r.err;
    r = messages("delete 1 --json");
    EXPECT_EQ(r.status, 2) << r.err;
    r = messages("greeting play");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no greeting"), std::string::npos) << r.err;
    r = shell("ORVEX_MAILBOX='" + path("nothing") + "' '" + sim::programPath("callctl") + "' messages list");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no mailbox at " + path("nothing")), std::string::npos) << r.err;
    r = shell("HOME='" + dir_ + "' '" + sim::programPath("callctl") + "' messages --help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("ORVEX_MAILBOX"), std::string::npos);
}

} // namespace

namespace {

// The manual page has the answering machine's commands in its synopsis and
// its list of commands, as callctl's own help has them.
TEST(CallctlManual, DescribesServeAndMessages)
{
    Outcome r = callctl_kit::callctl({"--help"});
    ASSERT_EQ(r.status, 0);
    std::string source = __FILE__;
    std::string manual = kit::readText(source.substr(0, source.rfind("/tests/")) + "/tools/man/callctl.1");
    ASSERT_FALSE(manual.empty());
    for (const std::string name : {"serve", "messages"}) {
        EXPECT_NE(r.out.find("\n  " + name + " "), std::string::npos) << name << " missing from callctl --help";
        EXPECT_NE(manual.find("\n.B " + name + "\n"), std::string::npos) << "no entry for " << name;
        EXPECT_NE(manual.find("\n.B callctl " + name), std::string::npos) << "no synopsis for " << name;
    }
    for (const char* word : {"ORVEX_MAILBOX", "SIPLINE_CALLER", "MESSAGE_WAV", "greeting record"})
        EXPECT_NE(manual.find(word), std::string::npos) << word;
}

} // namespace
