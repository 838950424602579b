#include "mailbox.h"

#include <algorithm>
#include <csignal>
#include <set>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "audio_io.h"
#include "scratch_dir.h"
#include "tape_wav.h"

namespace callctl {
namespace {

constexpr int64_t dec9 = 1796778123; // 2026-12-09 01:02:03 UTC

class MailboxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.empty());
        box_ = std::make_unique<Mailbox>(dir_ + "/box/");
        std::string error;
        ASSERT_TRUE(box_->open(&error)) << error;
    }

    // Records a message as the daemon does: into the pending file.
    static bool record(Mailbox& box, const std::vector<uint8_t>& audio, const MessageMeta& meta, Message* stored,
                       std::string* error)
    {
        PendingMessage pending;
        if (!box.beginMessage(&pending, error))
            return false;
        if (!writeWholeFile(pending.audioPath, audio, error))
            return false;
        return box.commitMessage(&pending, meta, stored, error);
    }
    static MessageMeta meta(const std::string& caller, int64_t start, const std::string& tones = "")
    {
        MessageMeta m;
        m.caller = caller;
        m.called = "sip:box@127.0.0.1";
        m.start = start;
        m.touchtones = tones;
        m.endReason = "hang-up";
        return m;
    }
    std::vector<std::string> filesIn(const std::string& folder) const
    {
        std::vector<std::string> names;
        if (DIR* d = opendir((dir_ + "/box/" + folder).c_str())) {
            while (struct dirent* e = readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                    names.push_back(e->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<Message> list()
    {
        std::string error;
        std::vector<Message> all = box_->list(&error);
        EXPECT_EQ(error, "");
        return all;
    }

    kit::ScratchDir scratch_;
    std::string dir_ = scratch_.path();
    std::unique_ptr<Mailbox> box_;
};

TEST_F(MailboxTest, ACommittedMessageListsWithItsRecordAndLeavesNoTemporaryFile)
{
    std::vector<uint8_t> audio(12345, 0x42);
    Message stored;
    std::string error;
    ASSERT_TRUE(record(*box_, audio, meta("sip:alice@127.0.0.1:5062", dec9, "5"), &stored, &error)) << error;
    EXPECT_EQ(stored.stem, "20261209-010203-alice");
    EXPECT_EQ(filesIn("new"), (std::vector<std::string>{"20261209-010203-alice.json", "20261209-010203-alice.ul"}));
    EXPECT_TRUE(filesIn(".tmp").empty());
    struct stat st;
    ASSERT_EQ(stat(stored.audioPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "messages are private";
    ASSERT_EQ(stat((dir_ + "/box/new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    std::vector<Message> all = list();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].state, MessageState::New);
    EXPECT_EQ(all[0].meta.caller, "sip:alice@127.0.0.1:5062");
    EXPECT_EQ(all[0].meta.touchtones, "5");
    EXPECT_EQ(all[0].meta.durationSamples, 12345u) << "the length comes from the audio itself";
    std::vector<uint8_t> back;
    ASSERT_TRUE(readWholeFile(all[0].audioPath, &back, &error));
    EXPECT_EQ(back, audio);
}

TEST_F(MailboxTest, OldestFirstAcrossNewAndSavedAndFilingMovesBothFiles)
{
    std::string error;
    Message a, b, c;
    ASSERT_TRUE(record(*box_, {1}, meta("sip:carol@h", dec9 + 20), &c, &error)) << error;
    ASSERT_TRUE(record(*box_, {2}, meta("sip:alice@h", dec9), &a, &error)) << error;
    ASSERT_TRUE(record(*box_, {3}, meta("sip:bob@h", dec9 + 10), &b, &error)) << error;
    ASSERT_TRUE(box_->save(&b, &error)) << error;
    EXPECT_EQ(b.state, MessageState::Saved);

    std::vector<Message> all = list();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].meta.caller, "sip:alice@h");
    EXPECT_EQ(all[1].meta.caller, "sip:bob@h");
    EXPECT_EQ(all[1].state, MessageState::Saved);
    EXPECT_EQ(all[2].meta.caller, "sip:carol@h");
    EXPECT_EQ(filesIn("saved").size(), 2u);

    ASSERT_TRUE(box_->markHeard(&all[0], &error)) << error;
    ASSERT_TRUE(box_->moveToTrash(&all[2], dec9 + 100, &error)) << error;
    all = list();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_TRUE(all[0].meta.heard) << "heard is kept in the record";
    EXPECT_FALSE(all[1].meta.heard);

    std::vector<Message> trash = box_->listTrash(&error);
    ASSERT_EQ(trash.size(), 1u);
    EXPECT_EQ(trash[0].meta.deleted, dec9 + 100);
    EXPECT_EQ(filesIn("new"), (std::vector<std::string>{"20261209-010203-alice.json", "20261209-010203-alice.ul"}));

    ASSERT_TRUE(box_->restore(&trash[0], &error)) << error;
    EXPECT_EQ(trash[0].meta.deleted, 0);
    EXPECT_TRUE(box_->listTrash(&error).empty());
    EXPECT_EQ(list().size(), 3u);
    EXPECT_FALSE(box_->restore(&trash[0], &error)) << "only a message in the trash is restored";
}

TEST_F(MailboxTest, TheSameSecondAndCallerTwiceTakesNumberedNames)
{
    std::string error;
    Message first, second, third;
    ASSERT_TRUE(record(*box_, {1}, meta("sip:alice@h", dec9), &first, &error)) << error;
    ASSERT_TRUE(record(*box_, {2}, meta("sip:alice@h", dec9), &second, &error)) << error;
    ASSERT_TRUE(record(*box_, {3}, meta("sip:alice@h", dec9), &third, &error)) << error;
    EXPECT_EQ(first.stem, "20261209-010203-alice");
    EXPECT_EQ(second.stem, "20261209-010203-alice-2");
    EXPECT_EQ(third.stem, "20261209-010203-alice-3");
    // Filing into a folder that already holds the name numbers it too.
    ASSERT_TRUE(box_->moveToTrash(&first, dec9, &error));
    ASSERT_TRUE(record(*box_, {4}, meta("sip:alice@h", dec9), &first, &error)) << error;
    ASSERT_TRUE(box_->moveToTrash(&first, dec9, &error));
    EXPECT_EQ(first.stem, "20261209-010203-alice-2");
    std::vector<uint8_t> back;
    ASSERT_TRUE(readWholeFile(first.audioPath, &back, &error));
    EXPECT_EQ(back, std::vector<uint8_t>{4});
}

// Two lines recording into one mailbox at once, with the same second and
// caller every time: every message complete, none shares a file.
TEST_F(MailboxTest, TwoProcessesCommittingAtOnceNeverShareAFile)
{
    constexpr int perProcess = 40;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            Mailbox box(dir_ + "/box");
            for (int i = 0; i < perProcess; ++i) {
                std::string error;
                std::vector<uint8_t> audio(800 + i, static_cast<uint8_t>(c * 100 + i));
                if (!record(box, audio, meta("sip:same@h", dec9, std::to_string(c) + ":" + std::to_string(i)),
                            nullptr, &error))
                    _exit(1);
            }
            _exit(0);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::vector<Message> all = list();
    ASSERT_EQ(all.size(), 2u * perProcess);
    std::set<std::string> seen;
    for (const Message& m : all) {
        int c = -1, i = -1;
        ASSERT_EQ(sscanf(m.meta.touchtones.c_str(), "%d:%d", &c, &i), 2);
        EXPECT_TRUE(seen.insert(m.meta.touchtones).second) << "message " << m.meta.touchtones << " twice";
        std::vector<uint8_t> audio;
        std::string error;
        ASSERT_TRUE(readWholeFile(m.audioPath, &audio, &error));
        EXPECT_EQ(audio, std::vector<uint8_t>(800 + i, static_cast<uint8_t>(c * 100 + i)))
            << m.stem << " holds another message's audio";
    }
    EXPECT_TRUE(filesIn(".tmp").empty());
}

TEST_F(MailboxTest, TwoProcessesFilingTheSameMessageFileItOnce)
{
    std::string error;
    Message m;
    ASSERT_TRUE(record(*box_, {7, 7}, meta("sip:alice@h", dec9), &m, &error)) << error;
    int wins = 0;
    for (int round = 0; round < 20; ++round) {
        int pipeFd[2];
        ASSERT_EQ(pipe(pipeFd), 0);
        pid_t children[2];
        for (int c = 0; c < 2; ++c) {
            children[c] = fork();
            ASSERT_GE(children[c], 0);
            if (children[c] == 0) {
                char go;
                close(pipeFd[1]);
                if (read(pipeFd[0], &go, 1) != 0) // both start when the pipe closes
                    _exit(3);
                Mailbox box(dir_ + "/box");
                Message copy = m;
                std::string e;
                _exit(c == 0 ? (box.moveToTrash(&copy, dec9, &e) ? 0 : 1) : (box.save(&copy, &e) ? 0 : 1));
            }
        }
        close(pipeFd[0]);
        close(pipeFd[1]);
        int ok = 0;
        for (pid_t child : children) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status));
            ok += WEXITSTATUS(status) == 0;
        }
        EXPECT_EQ(ok, 1) << "round " << round << ": exactly one of two movers wins";
        std::vector<Message> all = list();
        std::vector<Message> trash = box_->listTrash(&error);
        ASSERT_EQ(all.size() + trash.size(), 1u) << "round " << round;
        wins += trash.size();
        // Back to new/ for the next round.
        m = all.empty() ? trash[0] : all[0];
        if (m.state == MessageState::Trash)
            ASSERT_TRUE(box_->restore(&m, &error)) << error;
        else {
            ASSERT_TRUE(box_->moveToTrash(&m, dec9, &error)) << error;
            ASSERT_TRUE(box_->restore(&m, &error)) << error;
        }
    }
    RecordProperty("trashWins", wins);
}

// A full disk, for real: the file size limit makes the writes fail with
// EFBIG in a child, as ENOSPC would on a full file system.
TEST_F(MailboxTest, AFullDiskNeverLeavesAMessageThatLists)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        Mailbox box(dir_ + "/box");
        std::string error;
        PendingMessage pending;
        if (!box.beginMessage(&pending, &error))
            _exit(10);
        // The audio fits; then the disk fills, and the record does not.
        std::vector<uint8_t> audio(8000, 0x55);
        if (!writeWholeFile(pending.audioPath, audio, &error))
            _exit(11);
        struct rlimit limit = {64, 64};
        setrlimit(RLIMIT_FSIZE, &limit);
        if (box.commitMessage(&pending, meta("sip:alice@h", dec9), nullptr, &error))
            _exit(12);
        if (error.find("File too large") == std::string::npos)
            _exit(13);
        // A recording that the disk cuts short is dropped, not kept.
        if (!box.beginMessage(&pending, &error))
            _exit(14);
        if (writeWholeFile(pending.audioPath, audio, &error))
            _exit(15);
        box.abandonMessage(&pending);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(list().empty());
    EXPECT_TRUE(filesIn("new").empty());
    EXPECT_TRUE(filesIn(".tmp").empty());
}

TEST_F(MailboxTest, ACrashWhileRecordingLeavesOnlyATemporaryFileThatIsPurgedLater)
{
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Mailbox box(dir_ + "/box");
        std::string error;
        PendingMessage pending;
        if (!box.beginMessage(&pending, &error))
            _exit(1);
        int fd = open(pending.audioPath.c_str(), O_WRONLY);
        std::vector<uint8_t> audio(4000, 0x11);
        if (fd < 0 || write(fd, audio.data(), audio.size()) != 4000)
            _exit(2);
        if (write(ready[1], "x", 1) != 1)
            _exit(3);
        for (;;)
            pause();
    }
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1) << "awaited the child's recording";
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);

    EXPECT_TRUE(list().empty());
    EXPECT_EQ(filesIn(".tmp").size(), 1u);
    EXPECT_EQ(box_->purge(time(nullptr)), 0) << "a recording may still be running";
    EXPECT_EQ(box_->purge(time(nullptr) + staleTempSeconds + 60), 1);
    EXPECT_TRUE(filesIn(".tmp").empty());
}

TEST_F(MailboxTest, HalfMovedMessagesDoNotListAndLoneRecordsArePurged)
{
    std::string error;
    Message a, b;
    ASSERT_TRUE(record(*box_, {1}, meta("sip:alice@h", dec9), &a, &error)) << error;
    ASSERT_TRUE(record(*box_, {2}, meta("sip:bob@h", dec9 + 1), &b, &error)) << error;
    // What a crash in the middle of a commit or a move can leave: a record
    // without its audio, or audio without its record.
    ASSERT_EQ(unlink(a.audioPath.c_str()), 0);
    ASSERT_EQ(unlink(b.metaPath.c_str()), 0);
    EXPECT_TRUE(list().empty());
    EXPECT_EQ(box_->purge(time(nullptr)), 0);
    EXPECT_EQ(box_->purge(time(nullptr) + 3700), 1);
    EXPECT_EQ(filesIn("new"), std::vector<std::string>{"20261209-010204-bob.ul"}) << "audio is never purged alone";
}

TEST_F(MailboxTest, TheTrashKeepsDeletedMessagesSevenDays)
{
    std::string error;
    Message old, recent;
    ASSERT_TRUE(record(*box_, {1}, meta("sip:old@h", dec9), &old, &error)) << error;
    ASSERT_TRUE(record(*box_, {2}, meta("sip:recent@h", dec9), &recent, &error)) << error;
    int64_t now = dec9 + 30 * 24 * 3600;
    ASSERT_TRUE(box_->moveToTrash(&old, now - trashKeepSeconds - 1, &error));
    ASSERT_TRUE(box_->moveToTrash(&recent, now - trashKeepSeconds + 60, &error));
    EXPECT_EQ(box_->purge(now), 2);
    std::vector<Message> trash = box_->listTrash(&error);
    ASSERT_EQ(trash.size(), 1u);
    EXPECT_EQ(trash[0].meta.caller, "sip:recent@h");
}

TEST_F(MailboxTest, ExportIsAPcmWavOfTheSameSamples)
{
    std::string error;
    std::vector<uint8_t> audio;
    for (int i = 0; i < 8000; ++i)
        audio.push_back(static_cast<uint8_t>(i));
    Message m;
    ASSERT_TRUE(record(*box_, audio, meta("sip:alice@h", dec9), &m, &error)) << error;
    std::string wav = dir_ + "/m.wav";
    ASSERT_TRUE(box_->exportWav(m, wav, &error)) << error;
    SF_INFO info{};
    SNDFILE* f = sf_open(wav.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(info.samplerate, 8000);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_16);
    ASSERT_EQ(info.frames, 8000);
    std::vector<short> pcm(8000);
    EXPECT_EQ(sf_read_short(f, pcm.data(), 8000), 8000);
    sf_close(f);
    for (int i = 0; i < 8000; ++i)
        ASSERT_EQ(pcm[i], ulawToLinear(audio[i])) << "sample " << i;
    // Nothing but the WAV is left beside it.
    DIR* d = opendir(dir_.c_str());
    int entries = 0;
    while (struct dirent* e = readdir(d))
        entries += e->d_name[0] != '.' || std::string(e->d_name).size() > 2;
    closedir(d);
    EXPECT_EQ(entries, 2) << "box/ and m.wav";
    EXPECT_FALSE(box_->exportWav(m, dir_ + "/no/such/folder/m.wav", &error));
}

TEST_F(MailboxTest, OpenRefusesAFileWhereAFolderBelongs)
{
    ASSERT_EQ(system(("rm -rf '" + dir_ + "/box/saved' && touch '" + dir_ + "/box/saved'").c_str()), 0);
    std::string error;
    EXPECT_FALSE(Mailbox(dir_ + "/box").open(&error));
    EXPECT_NE(error.find("not a folder"), std::string::npos) << error;
}

} // namespace
} // namespace callctl
