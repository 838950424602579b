#include "output_file.h"

#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sys/resource.h>
#include <unistd.h>

#include "scratch_dir.h"

namespace callctl {
namespace {

class OutputFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.empty());
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    void make(const std::string& name, const std::string& text = "x") { std::ofstream(path(name)) << text; }
    kit::ScratchDir scratch_;
    std::string dir_ = scratch_.path();
};

TEST_F(OutputFile, AnOutputThatIsAnInputOrExistsIsRefused)
{
    make("in.ul");
    make("taken.wav");
    EXPECT_EQ(outputProblem({path("in.ul")}, {path("new.wav")}, false), "");
    // The same file by another name is still the same file.
    std::string problem = outputProblem({path("in.ul")}, {dir_ + "/./in.ul"}, true);
    EXPECT_NE(problem.find("read by this command as well"), std::string::npos) << problem;
    problem = outputProblem({}, {path("a.ul"), path("a.ul")}, true);
    EXPECT_NE(problem.find("named twice"), std::string::npos) << problem;
    problem = outputProblem({path("in.ul")}, {path("taken.wav")}, false);
    EXPECT_EQ(problem, path("taken.wav") + " exists; give --force (or -y) to replace it");
    EXPECT_EQ(outputProblem({path("in.ul")}, {path("taken.wav")}, true), "");
}

TEST_F(OutputFile, NumberedNamesKeepTheExtension)
{
    std::set<std::string> taken = {"r/response.ul", "r/response-2.ul"};
    auto isTaken = [&](const std::string& p) { return taken.count(p) > 0; };
    EXPECT_EQ(freeNumberedName("r/response.ul", isTaken), "r/response-3.ul");
    EXPECT_EQ(freeNumberedName("r/other.ul", isTaken), "r/other.ul");
    taken = {"a.b/msg", ".hidden"};
    EXPECT_EQ(freeNumberedName("a.b/msg", isTaken), "a.b/msg-2");
    EXPECT_EQ(freeNumberedName(".hidden", isTaken), ".hidden-2");
}

TEST_F(OutputFile, AFailedWriteLeavesTheOldFileAndNoPartOfTheNew)
{
    make("out.wav", "precious");
    std::string error;
    EXPECT_FALSE(writeAtomically(
        path("out.wav"),
        [](const std::string& temp, std::string* e) {
            std::ofstream(temp) << "half";
            *e = "can't write " + temp + ": disk full";
            return false;
        },
        &error));
    EXPECT_EQ(error, "can't write " + path("out.wav") + ": disk full");
    std::ifstream f(path("out.wav"));
    std::string text((std::istreambuf_iterator<char>(f)), {});
    EXPECT_EQ(text, "precious");
    ASSERT_TRUE(writeAtomically(
        path("out.wav"), [](const std::string& temp, std::string*) { return bool(std::ofstream(temp) << "new"); },
        &error));
    std::ifstream g(path("out.wav"));
    text.assign((std::istreambuf_iterator<char>(g)), {});
    EXPECT_EQ(text, "new");
    // Nothing but the output is left in the folder.
    EXPECT_EQ(std::system(("test $(ls -A '" + dir_ + "' | wc -l) -eq 1").c_str()), 0);
}

TEST_F(OutputFile, StagedOutputsAppearOnlyWhenCommitted)
{
    make("tape.ul", "old tape");
    std::string error;
    {
        StagedOutputs staged;
        std::string tape = staged.stage(path("tape.ul"), &error);
        std::string wav = staged.stage(path("new.wav"), &error);
        ASSERT_NE(tape, "") << error;
        EXPECT_EQ(staged.stage(path("tape.ul"), &error), tape); // one temporary per output
        EXPECT_NE(tape, path("tape.ul"));
        std::ofstream(tape) << "new tape";
        std::ofstream(wav) << "half a WAV";
        ASSERT_TRUE(staged.commit(path("tape.ul"), &error)) << error;
        EXPECT_FALSE(staged.commit(path("never-staged.ul"), &error));
    }
    // The committed one replaced the old file; the other left nothing.
    std::ifstream f(path("tape.ul"));
    std::string text((std::istreambuf_iterator<char>(f)), {});
    EXPECT_EQ(text, "new tape");
    EXPECT_EQ(std::system(("test $(ls -A '" + dir_ + "' | wc -l) -eq 1").c_str()), 0);

    StagedOutputs all;
    std::ofstream(all.stage(path("a.ul"), &error)) << "a";
    std::ofstream(all.stage(path("b.ul"), &error)) << "b";
    ASSERT_TRUE(all.commitAll(&error)) << error;
    EXPECT_EQ(std::system(("test $(ls -A '" + dir_ + "' | wc -l) -eq 3").c_str()), 0);
    EXPECT_EQ(all.stage(path("c/d.ul"), &error), "") << "a folder that isn't there";
    EXPECT_NE(error.find("can't write in the folder of"), std::string::npos) << error;
}

} // namespace
} // namespace callctl
