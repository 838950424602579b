// The supervisor of voicephone-daemon: start-up, tape preparation, the tape
// commands and the taping handshake, DTMF requests and the end of a call.
#include <cstring>
#include <sys/stat.h>

#include "voicephone_harness.h"

namespace voicetest {
namespace {

std::string ownershipLine(const char* what, const std::string& path)
{
    if (std::string(what) == "owner")
        return std::string(supervisorPrefix) + "Set owner of " + path + " to " + std::to_string(getuid()) + "." +
               std::to_string(getgid());
    return std::string(supervisorPrefix) + "Set access permissions of " + path + " to rw-------";
}

mode_t modeOf(const std::string& path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

TEST(VoicePhoneStart, WrongArgumentCountPrintsUsageOnly)
{
    sim::Segment seg;
    writeWord(seg->phoneUp, 7);
    writeWord(seg->stopRequest, 5);
    for (int extra : {0, 2, 3, 5}) {
        std::vector<std::string> args{sim::programPath("voicephone-daemon")};
        for (int i = 0; i < extra; ++i)
            args.push_back(i == extra - 1 ? std::to_string(seg.id()) : "160");
        sim::DaemonProcess d;
        ASSERT_TRUE(d.start(args[0], args, {}));
        EXPECT_EQ(d.wait(), 0) << extra << " arguments";
        EXPECT_EQ(d.output(), std::string(supervisorPrefix) + "Can only be invoked by Orvex itself\n\n");
        EXPECT_EQ(d.errors(), "");
    }
    EXPECT_EQ(readWord(seg->phoneUp), 7u);
    EXPECT_EQ(readWord(seg->stopRequest), 5u);
}

TEST(VoicePhoneStart, BadChunkSizeOrSegmentEndsWithStatusOneAndTouchesNothing)
{
    Call call;
    writeWord(call.cb().phoneUp, 7);
    for (std::vector<std::string> tail : {std::vector<std::string>{"0", std::to_string(call.seg.id())},
                                          std::vector<std::string>{"160", "-1"}}) {
        std::vector<std::string> args{sim::programPath("voicephone-daemon"), std::to_string(call.line.daemonFd()),
                                      std::to_string(call.sound.daemonFd())};
        args.insert(args.end(), tail.begin(), tail.end());
        sim::DaemonProcess d;
        ASSERT_TRUE(d.start(args[0], args, {call.line.daemonFd(), call.sound.daemonFd()}));
        EXPECT_EQ(d.wait(), 1);
        EXPECT_EQ(d.lines().out, std::vector<std::string>{std::string(supervisorPrefix) + "Version 1.1.0 (build 3)"});
        EXPECT_EQ(d.lines().err.size(), 1u);
    }
    EXPECT_EQ(readWord(call.cb().phoneUp), 7u);
}

// One call: what the start-up clears and what it leaves, the tape it
// prepares, the lines it prints, and the end on stopRequest.
TEST(VoicePhoneStart, ClearsItsFieldsPreparesTheTapeAndEndsOnStopRequest)
{
    Call call;
    call.makeTape(audio(16000), audio(24000));
    chmod(call.ingoingPath.c_str(), 0644);
    ControlBlock& cb = call.cb();
    for (Word* w : {&cb.phoneUp, &cb.stopRequest, &cb.holdAudio, &cb.tapeFull, &cb.errorFlag, &cb.codeComplete,
                    &cb.dtmfPending})
        writeWord(*w, 1);
    writeWord(cb.recordFlags, 0x11F);
    writeByte(cb.dtmfKey, '5');
    strcpy(cb.remoteCode, "99");
    // Left as the application wrote them.
    writeWord(cb.rewindDone, 7);
    writeWord(cb.endDone, 8);
    writeWord(cb.playFlags, 0x33);
    writeWord(cb.playRunning, 3);
    writeWord(cb.recordRunning, 4);
    writeWord(cb.messageDone, 5);
    writeWord(cb.responseStop, 6);
    // Stale state words in normal mode: nothing was played or recorded.
    writeWord(cb.messagePlaying, 1);
    writeWord(cb.responseRecording, 1);
    writeWord(cb.tapeLength, 99999);
    writeWord(cb.tapePosition, 8000);

    ASSERT_TRUE(call.start(160));
    EXPECT_EQ(readWord(cb.stopRequest), 0u);
    EXPECT_EQ(readWord(cb.holdAudio), 0u);
    EXPECT_EQ(readWord(cb.tapeFull), 0u);
    EXPECT_EQ(readWord(cb.errorFlag), 0u);
    EXPECT_EQ(readWord(cb.recordFlags), 0u);
    EXPECT_EQ(readWord(cb.t2aRunning), 1u);
    EXPECT_EQ(readWord(cb.a2tRunning), 1u);
    EXPECT_EQ(cb.remoteCode[0], '\0');
    EXPECT_EQ(cb.remoteCode[1], '9'); // only the first byte
    EXPECT_EQ(readWord(cb.codeComplete), 0u);
    EXPECT_EQ(readByte(cb.dtmfKey), 0);
    EXPECT_EQ(readWord(cb.dtmfPending), 0u);
    EXPECT_EQ(readWord(cb.rewindDone), 7u);
    EXPECT_EQ(readWord(cb.endDone), 8u);
    EXPECT_EQ(readWord(cb.playFlags), 0x33u);
    EXPECT_EQ(readWord(cb.playRunning), 3u);
    EXPECT_EQ(readWord(cb.recordRunning), 4u);
    EXPECT_EQ(readWord(cb.messageDone), 5u);
    EXPECT_EQ(readWord(cb.responseStop), 6u);
    EXPECT_EQ(readWord(cb.tapeLength), 16000u); // the shorter file
    for (const Word* w : {&cb.tapePosition, &cb.ingoingPosition, &cb.outgoingPosition})
        EXPECT_EQ(readWord(*w), 8000u);
    EXPECT_EQ(modeOf(call.ingoingPath), 0600u);
    EXPECT_EQ(modeOf(call.outgoingPath), 0600u);

    EXPECT_EQ(call.stop(), 0);
    EXPECT_EQ(readWord(cb.phoneUp), 1u);
    EXPECT_EQ(readWord(cb.t2aRunning), 0u);
    EXPECT_EQ(readWord(cb.a2tRunning), 0u);
    EXPECT_EQ(readWord(cb.stopRequest), 1u);
    EXPECT_EQ(readWord(cb.messagePlaying), 0u);
    EXPECT_EQ(readWord(cb.responseRecording), 0u);
    EXPECT_EQ(readWord(cb.messageDone), 5u);
    EXPECT_EQ(readWord(cb.responseDone), 0u);
    EXPECT_EQ(readWord(cb.errorFlag), 0u);

    Lines lines = call.daemon.lines();
    EXPECT_EQ(lines.err, std::vector<std::string>{});
    ASSERT_EQ(lines.out.size(), 9u);
    EXPECT_EQ(lines.out[0], std::string(supervisorPrefix) + "Version 1.1.0 (build 3)");
    EXPECT_EQ(lines.out[1], ownershipLine("owner", call.ingoingPath));
    EXPECT_EQ(lines.out[2], ownershipLine("mode", call.ingoingPath));
    EXPECT_EQ(lines.out[3], ownershipLine("owner", call.outgoingPath));
    EXPECT_EQ(lines.out[4], ownershipLine("mode", call.outgoingPath));
    int t2aPid = 0;
    int a2tPid = 0;
    char end = 0;
    ASSERT_EQ(sscanf(lines.out[5].c_str(), "Orvex VoicePhone daemon: PID (ttyI -> audio) = %d, PID (audio -> ttyI) = %d%c",
                     &t2aPid, &a2tPid, &end),
              2)
        << lines.out[5];
    EXPECT_GT(t2aPid, 0);
    EXPECT_GT(a2tPid, 0);
    EXPECT_NE(t2aPid, a2tPid);
    EXPECT_EQ(countLines(lines.out, std::string(t2aPrefix) + "Dying"), 1u);
    EXPECT_EQ(countLines(lines.out, std::string(a2tPrefix) + "Dying"), 1u);
    EXPECT_EQ(lines.out[8], std::string(supervisorPrefix) + "Dying");
}



TEST(VoicePhoneStart, TapePositionAtTheEndIsTakenAndBeyondItMeansTheEnd)
{
    {
        Call call;
        call.makeTape(audio(16000), audio(24000));
        writeWord(call.cb().tapePosition, 16000);
        ASSERT_TRUE(call.start(160));
        EXPECT_EQ(readWord(call.cb().ingoingPosition), 16000u);
        EXPECT_EQ(readWord(call.cb().outgoingPosition), 16000u);
        // Taping now lands at the end of the ingoing file.
        writeWord(call.cb().recordFlags, FlagStartRequest);
        ASSERT_TRUE(call.waitFor(call.cb().recordFlags, FlagStarted | FlagActive));
        const Bytes heard = audio(160, 9);
        call.line.sendAudio(heard);
        ASSERT_TRUE(call.waitFor(call.cb().ingoingPosition, 16160));
        EXPECT_EQ(call.stop(), 0);
        Bytes in = readFile(call.ingoingPath);
        EXPECT_EQ(in.size(), 16160u);
        EXPECT_EQ(slice(in, 16000, 160), heard);
    }
    {
        Call call;
        call.makeTape(audio(16000), audio(24000));
        writeWord(call.cb().tapePosition, 16001);
        writeWord(call.cb().ingoingPosition, 111);
        writeWord(call.cb().outgoingPosition, 222);
        ASSERT_TRUE(call.start(160));
        // The words say where the files are: at the end, so taping appends
        // instead of overwriting the start of the old recording.
        EXPECT_EQ(readWord(call.cb().tapePosition), 16000u);
        EXPECT_EQ(readWord(call.cb().ingoingPosition), 16000u);
        EXPECT_EQ(readWord(call.cb().outgoingPosition), 16000u);
        writeWord(call.cb().recordFlags, FlagStartRequest);
        ASSERT_TRUE(call.waitFor(call.cb().recordFlags, FlagStarted | FlagActive));
        const Bytes heard = audio(160, 9);
        call.line.sendAudio(heard);
        ASSERT_TRUE(call.waitFor(call.cb().ingoingPosition, 16160));
        EXPECT_EQ(call.stop(), 0);
        Bytes in = readFile(call.ingoingPath);
        EXPECT_EQ(slice(in, 0, 16000), audio(16000));
        EXPECT_EQ(slice(in, 16000, 160), heard);
    }
}

struct Positions {
    uint32_t tape, in, out;
    bool operator==(const Positions&) const = default;
};

Positions positions(ControlBlock& cb)
{
    return {readWord(cb.tapePosition), readWord(cb.ingoingPosition), readWord(cb.outgoingPosition)};
}

void PrintTo(const Positions& p, std::ostream* os) { *os << p.tape << "/" << p.in << "/" << p.out; }

// Watches a command being served: the done word never shows 1 before the
// positions are in place, and the request word is back at 0 by then.
void serveAndWatch(Call& call, Word& request, uint32_t value, Word* done, uint32_t expected)
{
    ControlBlock& cb = call.cb();
    writeWord(request, value);
    auto deadline = std::chrono::steady_clock::now() + 2s;
    for (;;) {
        bool finished = done ? acquireWord(*done) == 1 && readWord(request) == 0 : acquireWord(request) == 0;
        if (finished) {
            Positions p = positions(cb);
            if (done) { // published after the positions
                ASSERT_EQ(p, (Positions{expected, expected, expected}));
            }
            break;
        }
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "command not served";
    }
    ASSERT_TRUE(call.seg.waitUntil([&] { return positions(cb) == Positions{expected, expected, expected}; }));
}

TEST(VoicePhoneTape, CommandsMoveBothFilesAndReportInOrder)
{
    Call call;
    call.makeTape(audio(24000, 1), audio(24000, 2));
    ControlBlock& cb = call.cb();
    writeWord(cb.tapePosition, 16000);
    writeWord(cb.rewindDone, 1); // from an earlier rewind
    ASSERT_TRUE(call.start(160));

    serveAndWatch(call, cb.skipBack, 1, nullptr, 8000);
    serveAndWatch(call, cb.skipForward, 5, nullptr, 24000);
    serveAndWatch(call, cb.skipBack, 3, nullptr, 0);
    serveAndWatch(call, cb.skipForward, 1, nullptr, 8000);
    serveAndWatch(call, cb.endRequest, 1, &cb.endDone, 24000);
    serveAndWatch(call, cb.rewindRequest, 1, &cb.rewindDone, 0);
    EXPECT_EQ(readWord(cb.endDone), 1u); // stays until the next move to the end
    EXPECT_EQ(readWord(cb.tapeLength), 24000u);

    // Taping holds a command back; it is served in the pass after the stop.
    writeWord(cb.recordFlags, FlagStartRequest);
    ASSERT_TRUE(call.waitFor(cb.recordFlags, FlagStarted | FlagActive));
    writeWord(cb.skipForward, 2);
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(readWord(cb.skipForward), 2u);
    EXPECT_EQ(positions(cb), (Positions{0, 0, 0}));
    writeWord(cb.recordFlags, readWord(cb.recordFlags) | FlagStopRequest);
    ASSERT_TRUE(call.waitFor(cb.skipForward, 0));
    ASSERT_TRUE(call.seg.waitUntil([&] { return positions(cb) == Positions{16000, 16000, 16000}; }));
    EXPECT_EQ(readWord(cb.recordFlags), FlagStarted | FlagStopped);

    // Rewind and start in one pass: the tape is rewound before taping starts,
    // so the first taped chunk lands at offset 0 of the ingoing file.
    writeWord(cb.rewindRequest, 1);
    writeWord(cb.recordFlags, FlagStartRequest);
    ASSERT_TRUE(call.waitFor(cb.recordFlags, FlagStarted | FlagActive));
    EXPECT_EQ(readWord(cb.rewindRequest), 0u);
    const Bytes heard = audio(160, 77);
    call.line.sendAudio(heard);
    ASSERT_TRUE(call.waitFor(cb.ingoingPosition, 160));

    // Start and stop requested together, with bits above the flag byte.
    writeWord(cb.recordFlags, 0x300 | FlagStartRequest | FlagStopRequest);
    ASSERT_TRUE(call.waitFor(cb.recordFlags, 0x300 | FlagStarted | FlagStopped));

    EXPECT_EQ(call.stop(), 0);
    Bytes in = readFile(call.ingoingPath);
    EXPECT_EQ(in.size(), 24000u);
    EXPECT_EQ(slice(in, 0, 160), heard);
    EXPECT_EQ(slice(in, 160, 24000), slice(audio(24000, 1), 160, 24000));
}

TEST(VoicePhoneTape, MissingIngoingFileServesNoCommandButCarriesTheCall)
{
    Call call;
    writeFile(call.outgoingPath, audio(8000));
    chmod(call.outgoingPath.c_str(), 0644);
    ControlBlock& cb = call.cb();
    writeWord(cb.tapeLength, 4321);
    writeWord(cb.rewindRequest, 1);
    ASSERT_TRUE(call.start(160));
    writeWord(cb.recordFlags, FlagStartRequest);
    writeWord(cb.skipBack, 1);

    const Bytes heard = audio(320, 3);
    const Bytes said = audio(320, 4);
    call.line.sendAudio(heard);
    call.sound.feed(said);
    ASSERT_TRUE(call.sound.waitForPlayed(320));
    ASSERT_TRUE(call.line.waitForReceived(320));
    writeByte(cb.dtmfKey, '9'); // still rendered
    ASSERT_TRUE(call.waitFor(cb.dtmfPending, 1));
    EXPECT_EQ(readWord(cb.recordFlags), FlagStartRequest);
    EXPECT_EQ(readWord(cb.rewindRequest), 1u);
    EXPECT_EQ(readWord(cb.skipBack), 1u);
    EXPECT_EQ(readWord(cb.errorFlag), 1u);
    EXPECT_EQ(readWord(cb.tapeLength), 4321u);
    EXPECT_EQ(call.stop(), 0);

    EXPECT_EQ(call.sound.played(), heard);
    EXPECT_EQ(call.line.received(), said);
    EXPECT_EQ(call.daemon.lines().err,
              (std::vector<std::string>{std::string(supervisorPrefix) + "Can't determine length of tape",
                                        std::string(supervisorPrefix) + "Can't open tape file " + call.ingoingPath +
                                            " (ingoing)"}));
    EXPECT_EQ(call.daemon.output().find("Set owner"), std::string::npos);
    EXPECT_EQ(modeOf(call.outgoingPath), 0644u);
    EXPECT_EQ(readFile(call.outgoingPath), audio(8000));
}

TEST(VoicePhoneTape, MissingOutgoingFileStillHandsOverTheIngoingOne)
{
    Call call;
    writeFile(call.ingoingPath, audio(8000));
    ASSERT_TRUE(call.start(160));
    writeWord(call.cb().endRequest, 1);
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(readWord(call.cb().endRequest), 1u);
    EXPECT_EQ(call.stop(), 0);
    Lines lines = call.daemon.lines();
    EXPECT_EQ(lines.err, std::vector<std::string>{std::string(supervisorPrefix) + "Can't determine length of tape"});
    EXPECT_EQ(countLines(lines.out, ownershipLine("owner", call.ingoingPath)), 1u);
    EXPECT_EQ(call.daemon.output().find(call.outgoingPath), std::string::npos);
}

TEST(VoicePhoneDtmf, KeysAreRenderedOnceAndRejectedKeysAreRetried)
{
    Call call;
    call.makeTape({}, {});
    ControlBlock& cb = call.cb();
    ASSERT_TRUE(call.start(160));
    writeByte(cb.dtmfKey, '5');
    ASSERT_TRUE(call.waitFor(cb.dtmfPending, 1));
    EXPECT_EQ(cb.dtmfTone[0], 0xFF); // every tone starts at 0
    // A key written while a tone is pending is not rendered.
    writeByte(cb.dtmfKey, '7');
    std::this_thread::sleep_for(40ms);
    // The tone goes out with the next 2000 samples from the sound device.
    call.sound.feed(audio(2000));
    ASSERT_TRUE(call.waitFor(cb.dtmfPending, 0));
    EXPECT_EQ(readByte(cb.dtmfKey), 0);

    writeByte(cb.dtmfKey, 'x');
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(readWord(cb.dtmfPending), 0u);
    EXPECT_EQ(readByte(cb.dtmfKey), 'x');
    writeByte(cb.dtmfKey, 0);
    EXPECT_EQ(call.stop(), 0);

    Lines lines = call.daemon.lines();
    EXPECT_EQ(countLines(lines.out, std::string(supervisorPrefix) + "Send request for DTMF '5'"), 1u);
    EXPECT_EQ(countLines(lines.out, std::string(supervisorPrefix) + "Send request for DTMF '7'"), 0u);
    EXPECT_GE(countLines(lines.out, std::string(supervisorPrefix) + "Send request for DTMF 'x'"), 3u);
}

TEST(VoicePhoneEnd, ClearedRunningWordsEndTheCallAndOnePumpAloneDoesNot)
{
    Call call;
    call.makeTape({}, {});
    ASSERT_TRUE(call.start(160));
    writeWord(call.cb().t2aRunning, 0);
    ASSERT_TRUE(call.daemon.waitForLine(std::string(t2aPrefix) + "Dying"));
    // The supervisor still serves commands.
    writeWord(call.cb().endRequest, 1);
    ASSERT_TRUE(call.waitFor(call.cb().endDone, 1));
    writeWord(call.cb().a2tRunning, 0);
    EXPECT_EQ(call.daemon.wait(), 0);
    EXPECT_EQ(call.daemon.lines().out.back(), std::string(supervisorPrefix) + "Dying");
}

} // namespace
} // namespace voicetest
