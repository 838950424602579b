// callctl on ALSA, through a private configuration whose devices are the
// `file` plugin over `null`: what reaches the speaker lands in a file, and
// the microphone reads from one, so no sound hardware is needed.  The
// README's recipes for sound are run here as written.
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

#include "audio_io.h"
#include "callctl_kit.h"

namespace {

using namespace callctl_kit;

class CallctlSound : public ScratchTest {
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        std::ofstream conf(path("asound.conf"));
        // The file plugin also copies what it captures into its "file", so
        // the speaker and the microphone are two devices joined by asym.
        conf << "pcm.nullslave { type null }\n"
                "pcm.speaker {\n"
                "  type file\n"
                "  slave.pcm \"nullslave\"\n"
                "  file \"" << path("speaker.raw") << "\"\n"
                "  format \"raw\"\n"
                "}\n"
                "pcm.microphone {\n"
                "  type file\n"
                "  slave.pcm \"nullslave\"\n"
                "  file \"" << path("captured.raw") << "\"\n"
                "  infile \"" << path("microphone.raw") << "\"\n"
                "  format \"raw\"\n"
                "}\n"
                "pcm.tofile { type asym playback.pcm \"speaker\" capture.pcm \"microphone\" }\n"
                "pcm.default \"tofile\"\n";
        microphone_.resize(400000); // more than a call here takes, however fast the line runs
        for (size_t i = 0; i < microphone_.size(); ++i)
            microphone_[i] = static_cast<uint8_t>(0x20 + i % 90); // never DLE
        kit::writeFile(path("microphone.raw"), microphone_);
    }
    // A shell line in the scratch folder with the private ALSA
    // configuration and callctl on the PATH.
    Outcome run(const std::string& line, const std::string& keys = "")
    {
        std::string bin = sim::programPath("callctl");
        bin = bin.substr(0, bin.rfind('/'));
        return shell("cd '" + dir_ + "' && printf '" + keys + "' | ALSA_CONFIG_PATH='" + path("asound.conf") +
                         "' PATH='" + bin + "':\"$PATH\" " + line,
                     60000ms);
    }
    std::vector<uint8_t> microphone_;
};

bool holds(const std::vector<uint8_t>& hay, const std::vector<uint8_t>& needle)
{
    return !needle.empty() && std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

TEST_F(CallctlSound, PlayReachesTheAlsaDeviceByteForByteInEitherFormat)
{
    std::vector<uint8_t> tape(12000);
    for (size_t i = 0; i < tape.size(); ++i)
        tape[i] = static_cast<uint8_t>(i * 11 + 3);
    kit::writeFile(path("t-out.ul"), tape);
    Outcome r = run("callctl play --tape t --outgoing-only --sound alsa:tofile");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "played 00:01.5, from 00:00.0 to 00:01.5 of 00:01.5, to the end\n");
    EXPECT_EQ(kit::readFile(path("speaker.raw")), tape);

    r = run("callctl play --tape t --outgoing-only --wrap 16 --sound alsa");
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<uint8_t> linear = kit::readFile(path("speaker.raw"));
    ASSERT_EQ(linear.size(), 2 * tape.size());
    for (size_t i = 0; i < tape.size(); ++i)
        ASSERT_EQ(static_cast<int16_t>(linear[2 * i] | linear[2 * i + 1] << 8), ulawToLinear(tape[i])) << i;
}

TEST_F(CallctlSound, RecordTakesWhatTheAlsaDeviceHears)
{
    Outcome r = run("callctl record --take take.ul --tape-limit 2 --sound alsa");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "recorded take.ul: 16000 bytes (00:02.0), tape limit reached\n");
    std::vector<uint8_t> take = kit::readFile(path("take.ul"));
    EXPECT_EQ(take, std::vector<uint8_t>(microphone_.begin(), microphone_.begin() + 16000));
    r = run("callctl record --take take.ul --seconds 1 --sound alsa:nosuchdevice");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("can't open ALSA device nosuchdevice for capture"), std::string::npos) << r.err;
}

TEST_F(CallctlSound, ACallThroughAlsaCarriesBothDirections)
{
    Outcome r = run("callctl call --sound alsa", "t.......");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<uint8_t> speaker = kit::readFile(path("speaker.raw"));
    std::vector<uint8_t> heard = kit::readFile(path("call-in.ul")), said = kit::readFile(path("call-out.ul"));
    ASSERT_GT(heard.size(), 800u);
    ASSERT_GT(said.size(), 800u);
    // What the far end said was taped as it reached the speaker, and the
    // microphone's audio went down the line onto the outgoing tape.  The
    // null device underruns at every pause of a loaded machine, and the
    // file plugin may lose a part-filled period then: most 20 ms pieces of
    // the tape must be found whole, not all.
    size_t pieces = 0, found = 0;
    for (size_t at = 0; at + 160 <= heard.size(); at += 160, ++pieces)
        found += holds(speaker, std::vector<uint8_t>(heard.begin() + at, heard.begin() + at + 160));
    EXPECT_GE(found * 4, pieces * 3) << found << " of " << pieces << " pieces of the ingoing tape were played";
    pieces = found = 0;
    for (size_t at = 0; at + 160 <= said.size(); at += 160, ++pieces)
        found += holds(microphone_, std::vector<uint8_t>(said.begin() + at, said.begin() + at + 160));
    EXPECT_GE(found * 4, pieces * 3) << found << " of " << pieces << " pieces of the outgoing tape were heard";
}

// The recipes in the README's sound section, run as written, in order.
TEST_F(CallctlSound, TheReadmeRecipesRun)
{
    std::string source = __FILE__;
    std::ifstream readme(source.substr(0, source.rfind("/tests/")) + "/README.md");
    ASSERT_TRUE(readme) << "README.md beside tests/";
    std::string line;
    bool inSection = false, inBlock = false;
    std::vector<std::string> recipes;
    while (std::getline(readme, line)) {
        if (line.rfind("## ", 0) == 0)
            inSection = line == "## Hearing and speaking through a sound system";
        else if (inSection && line.rfind("```", 0) == 0)
            inBlock = !inBlock;
        else if (inSection && inBlock && line.rfind("callctl ", 0) == 0)
            recipes.push_back(line.substr(0, line.find("  #")));
    }
    ASSERT_GE(recipes.size(), 5u) << "the README's sound recipes";
    // What the recipes take as given: a WAV to speak into the microphone.
    kit::writeFile(path("speech.ul"), std::vector<uint8_t>(microphone_.begin(), microphone_.begin() + 8000));
    ASSERT_EQ(run("callctl tape export speech.ul speech.wav").status, 0);
    for (const auto& recipe : recipes) {
        Outcome r = run(recipe, ".....");
        EXPECT_EQ(r.status, 0) << recipe << "\n" << r.out << r.err;
    }
    EXPECT_FALSE(kit::readFile(path("heard.wav")).empty());
    EXPECT_EQ(kit::readFile(path("take.ul")), std::vector<uint8_t>(microphone_.begin(), microphone_.begin() + 8000));
}

} // namespace
