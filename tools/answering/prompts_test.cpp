#include "prompts.h"

#include <cmath>
#include <cstdlib>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "audio_io.h"
#include "phrases.h"
#include "scratch_dir.h"
#include "tape_wav.h"

namespace callctl {
namespace {

struct Level {
    double rmsDbfs, peakDbfs;
};
Level levelOf(const std::vector<uint8_t>& ulaw)
{
    double sum = 0, peak = 0;
    for (uint8_t b : ulaw) {
        double x = ulawToLinear(b) / 32768.0;
        sum += x * x;
        peak = std::max(peak, std::fabs(x));
    }
    return {10 * std::log10(sum / ulaw.size()), 20 * std::log10(peak)};
}

class Prompts : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.empty());
    }
    std::vector<std::string> files() const
    {
        std::vector<std::string> names;
        if (DIR* d = opendir((dir_ + "/.prompts").c_str())) {
            while (struct dirent* e = readdir(d))
                if (e->d_name[0] != '.')
                    names.push_back(e->d_name);
            closedir(d);
        }
        return names;
    }
    kit::ScratchDir scratch_;
    std::string dir_ = scratch_.path();
};

TEST_F(Prompts, SpeechIsEightKilohertzMuLawOfAPlausibleLengthAndLevel)
{
    std::vector<uint8_t> goodbye, help;
    std::string error;
    ASSERT_TRUE(synthesizeSpeech(phrase::goodbye, "en", &goodbye, &error)) << error;
    ASSERT_TRUE(synthesizeSpeech(phrase::help, "en", &help, &error)) << error;
    // "Goodbye." is well under two seconds at 8000 samples a second, and
    // the key help (about 25 words) many times that.
    EXPECT_GT(goodbye.size(), 8000u * 3 / 10);
    EXPECT_LT(goodbye.size(), 8000u * 2);
    EXPECT_GT(help.size(), 5 * goodbye.size());
    EXPECT_LT(help.size(), 8000u * 20);
    for (const auto* sound : {&goodbye, &help}) {
        Level level = levelOf(*sound);
        EXPECT_NEAR(level.peakDbfs, -6, 1.0);
        EXPECT_GT(level.rmsDbfs, -30) << "loud enough for a telephone";
        EXPECT_LT(level.rmsDbfs, -10);
    }
    EXPECT_FALSE(synthesizeSpeech("Hello", "no-such-voice-xx", &goodbye, &error));
    EXPECT_NE(error.find("no-such-voice-xx"), std::string::npos) << error;
}

TEST_F(Prompts, APromptIsSynthesizedOnceAndThenServedFromTheFolder)
{
    int made = 0;
    Synthesizer counting = [&](const std::string& text, const std::string& voice, std::vector<uint8_t>* ulaw,
                               std::string* error) {
        ++made;
        return synthesizeSpeech(text, voice, ulaw, error);
    };
    std::string first, again, error;
    {
        PromptCache cache(dir_ + "/.prompts", "en", counting);
        ASSERT_TRUE(cache.promptFile(phrase::deleted, &first, &error)) << error;
        ASSERT_TRUE(cache.promptFile(phrase::deleted, &again, &error)) << error;
        EXPECT_EQ(first, again);
        EXPECT_EQ(made, 1);
    }
    // The next call, a new process in real life, finds it too.
    PromptCache next(dir_ + "/.prompts", "en", counting);
    ASSERT_TRUE(next.promptFile(phrase::deleted, &again, &error)) << error;
    EXPECT_EQ(again, first);
    EXPECT_EQ(made, 1);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(readWholeFile(first, &bytes, &error));
    EXPECT_GT(bytes.size(), 8000u / 2);

    ASSERT_TRUE(next.promptFile(phrase::saved, &again, &error)) << error;
    EXPECT_NE(again, first);
    EXPECT_EQ(made, 2);
    EXPECT_EQ(files().size(), 2u) << "no temporary file is left";

    // Another voice is another file; a damaged (empty) file is made again.
    EXPECT_NE(PromptCache(dir_, "en-us").fileNameFor(phrase::saved), next.fileNameFor(phrase::saved));
    ASSERT_TRUE(writeWholeFile(first, {}, &error));
    ASSERT_TRUE(next.promptFile(phrase::deleted, &again, &error)) << error;
    EXPECT_EQ(made, 3);
    ASSERT_TRUE(readWholeFile(first, &bytes, &error));
    EXPECT_GT(bytes.size(), 8000u / 2);
}

TEST_F(Prompts, AFailedSynthesisLeavesNoFile)
{
    PromptCache cache(dir_ + "/.prompts", "en", [](const std::string&, const std::string&, std::vector<uint8_t>*,
                                                    std::string* error) {
        *error = "no speech today";
        return false;
    });
    std::string path, error;
    EXPECT_FALSE(cache.promptFile("Hello", &path, &error));
    EXPECT_EQ(error, "no speech today");
    EXPECT_TRUE(files().empty());
}

// Calls answered at once make the same prompt at once: every reader gets a
// whole file, and one file is left.
TEST_F(Prompts, TheCacheSurvivesConcurrentWriters)
{
    auto soundOf = [](const std::string& text) {
        std::vector<uint8_t> sound(2000000);
        for (size_t i = 0; i < sound.size(); ++i)
            sound[i] = static_cast<uint8_t>(text.size() * 31 + i * 7 + i / 251);
        return sound;
    };
    const std::vector<std::string> texts = {"one", "two two", "three three three"};
    for (int round = 0; round < 10; ++round) {
        std::system(("rm -rf '" + dir_ + "/.prompts'").c_str()); // every writer comes first
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        std::vector<pid_t> children;
        for (int c = 0; c < 6; ++c) {
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                close(go[1]);
                char x;
                if (read(go[0], &x, 1) != 0)
                    _exit(9);
                PromptCache cache(dir_ + "/.prompts", "en",
                                  [&](const std::string& text, const std::string&, std::vector<uint8_t>* ulaw,
                                      std::string*) {
                                      *ulaw = soundOf(text);
                                      return true;
                                  });
                for (size_t t = 0; t < texts.size(); ++t) {
                    const std::string& text = texts[(c + t) % texts.size()];
                    std::string path, error;
                    std::vector<uint8_t> bytes;
                    if (!cache.promptFile(text, &path, &error) || !readWholeFile(path, &bytes, &error))
                        _exit(1);
                    if (bytes != soundOf(text))
                        _exit(2);
                }
                _exit(0);
            }
            children.push_back(pid);
        }
        close(go[0]);
        close(go[1]); // all start together
        for (pid_t child : children) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 0) << "round " << round << ": 1 no file, 2 a torn or foreign file";
        }
        std::vector<std::string> left = files();
        EXPECT_EQ(left.size(), texts.size()) << "round " << round;
        for (const std::string& name : left)
            EXPECT_EQ(name.find(".tmp"), std::string::npos) << "temporary file left: " << name;
    }
}

TEST_F(Prompts, TheBeepIsAClickFreeKilohertzTone)
{
    std::vector<uint8_t> beep = beepTone();
    ASSERT_EQ(beep.size(), 4000u) << "half a second";
    int crossings = 0;
    for (size_t i = 1; i < beep.size(); ++i)
        crossings += (ulawToLinear(beep[i - 1]) < 0) != (ulawToLinear(beep[i]) < 0);
    EXPECT_NEAR(crossings, 1000, 4) << "two zero crossings a cycle, 500 cycles";
    Level level = levelOf(beep);
    EXPECT_NEAR(level.peakDbfs, -10, 0.5);
    EXPECT_NEAR(level.rmsDbfs, -13, 0.5) << "a sine's RMS is 3 dB under its peak";
    EXPECT_LT(std::abs(ulawToLinear(beep.front())), 100);
    EXPECT_LT(std::abs(ulawToLinear(beep.back())), 500);

    PromptCache cache(dir_ + "/.prompts");
    std::string path, error;
    ASSERT_TRUE(cache.beepFile(&path, &error)) << error;
    std::vector<uint8_t> stored;
    ASSERT_TRUE(readWholeFile(path, &stored, &error));
    EXPECT_EQ(stored, beep);
}

} // namespace
} // namespace callctl
