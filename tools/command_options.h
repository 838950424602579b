// What the commands that drive a daemon (call, answer, play, record) share:
// the common options and their help, the scan of a command's arguments,
// tape paths, microphones, the transcript file and the start of a take.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "audio_io.h"
#include "console.h"
#include "control_block.h"
#include "devices.h"
#include "session.h"
#include "transcript.h"

namespace callctl {

extern const char* commonOptionsHelp;

// Scans a command's own options and the common ones.  False when the
// command is already done, with *status set: a usage error, or --help.
// Words other than options are a usage error unless `takesWords`.
bool scanCommand(const char* cmd, const Args& args, std::vector<OptionRule> own, const char* usage, ScannedArgs* a,
                 int* status, bool takesWords = false);

struct Common {
    SoundChoice sound;
    int wrap = WrapUlaw;
    int chunk = 160;
    std::string daemonDir;
    std::string transcript;
    bool verbose = false;
    bool force = false; // --force or -y: existing outputs may be replaced
    bool quiet = false; // -q: the summary and errors only
};

// Refuses outputs that are inputs, or that exist without --force; the
// transcript and a stand-in speaker's WAV are added to `outputs` here.
// `tapes` are the tape files the command exists to write: they may exist,
// but may be no other input or output.  Returns false with *status set.
bool checkOutputs(const char* command, const Common& c, SoundUse use, std::vector<std::string> inputs,
                  std::vector<std::string> outputs, int* status, const std::vector<std::string>& tapes = {});

// Parses the options every command shares; on a usage error returns its
// status in *status.
bool commonFrom(const std::string& command, ScannedArgs& a, Common* c, int* status);

// --mic-cmd CMD, for call and answer: with --sound-cmd, a command whose
// standard output is the microphone (the --sound-cmd then only plays).
bool micCommandFrom(const std::string& command, ScannedArgs& a, Common* c, int* status);

bool secondsOption(const std::string& command, ScannedArgs& a, const char* name, double low, double high,
                   double* out, int* status);
bool pathOption(const std::string& command, const std::string& path, char (&field)[pathFieldSize], int* status);

struct TapePaths {
    std::string ingoing, outgoing;
};
bool tapePathsFrom(const std::string& command, ScannedArgs& a, TapePaths* t, int* status);

// A WAV's first channel as µ-law, or a synthetic voice when `wav` is empty.
std::vector<uint8_t> microphoneFrom(const std::string& wav, uint32_t seed, double pitch, std::string* error,
                                    bool* ok);

// What a recording hears: a WAV given as --sound, once through; the
// stand-in's synthetic voice, `simSeconds` of it, over and over when
// `simLoops`; nothing for a real device.  False with *error when the WAV
// cannot be read.
struct RecordingMicrophone {
    std::vector<uint8_t> audio;
    bool loop = true;
};
bool recordingMicrophone(const SoundChoice& sound, double simSeconds, bool simLoops, RecordingMicrophone* mic,
                         std::string* error);

// A take under way: record-daemon started on the control block, the sound
// device and the transcript, all held here for the caller that watches the
// take and ends it.  The members' order matters: they end in reverse, the
// keyboard given back first and the transcript, which the session writes
// to, last.
struct Recording {
    Transcript transcript;
    std::optional<Session> session;
    SoundEndpoint sound;
    std::optional<KeyboardMode> keyboard; // held while the take runs, when asked for
};

// What a take is: into `take`, at most `tapeLimit` bytes; `phase` names it
// on the status line; `failureNote` ends what is said when the sound device
// or the daemon fails to start; with `holdKeyboard` keys are read one by
// one while it runs.
struct TakeSettings {
    std::string take;
    uint32_t tapeLimit = 0;
    std::string phase;
    std::string failureNote;
    bool holdKeyboard = false;
};

// Starts record-daemon taking from the microphone.  False with *status set
// when it could not: the caller then returns that status.
bool startRecording(const char* cmd, const Common& c, const RecordingMicrophone& mic, const TakeSettings& t,
                    Recording* r, int* status);

// How a take ended: the daemon's run judged, and whether the sound device
// finished well (soundError says why not).
struct TakeEnd {
    Verdict verdict;
    bool soundOk = true;
    std::string soundError;
};
// Ends the take the caller watched: taping off first, so that the take is
// complete, then the daemon, each given `patience`; then the sound device.
TakeEnd endRecording(const char* cmd, const Common& c, Recording& r, std::chrono::milliseconds patience);

// What goes to the terminal as the run goes (--verbose: everything; a
// console on a terminal: what a person acts on; -q: nothing but errors)
// and the --transcript file, written as it goes.  False with *status set
// when the file can't be made.
bool startTranscript(Session& s, Transcript& t, const Common& c, bool console, int* status);
void finishTranscript(const Common& c, Transcript& t, int* status);
bool ensureFile(const std::string& path, std::string* error);

// Shows what the daemons complained of since the last look, at once.
// Returns whether there was anything.
bool showComplaints(Session& s, const char* command, const Common& c);

// Whether `path` can be written as a new or replaced file: created (and
// removed again) when missing, opened for writing when there.
bool checkWritable(const std::string& path, const char* what, std::string* error);

// Ends a voicephone call: stop request, wait, report.
int endCall(Session& s, const char* command);

} // namespace callctl
