// callctl tape export | import
#include <cstdio>

#include "command_line.h"
#include "output_file.h"
#include "commands.h"
#include "record_view.h"
#include "tape_wav.h"

namespace callctl {

namespace {

const char* tapeUsage =
    "usage: callctl tape export TAPE OUT.wav              one tape file to a mono WAV\n"
    "       callctl tape export INGOING OUTGOING OUT.wav  a tape pair to a stereo WAV\n"
    "                                                     (remote party left, local user right)\n"
    "       callctl tape import IN.wav TAPE               any WAV to one tape file\n"
    "       callctl tape import IN.wav INGOING OUTGOING   a stereo WAV to a tape pair\n"
    "\n"
    "Tape files are headerless 8 kHz mu-law.  Export keeps the bytes as they\n"
    "are in a mu-law WAV, so importing it again gives the same bytes; import\n"
    "resamples any other WAV to 8 kHz and encodes it (a stereo WAV imported\n"
    "into one file is mixed down).  A greeting for 'callctl answer' is made\n"
    "with: callctl tape import greeting.wav greeting.ul\n"
    "\n"
    "An output that is also an input is refused.  Export replaces an existing\n"
    "WAV only with --force; import writes tape files, which it exists to do,\n"
    "and replaces them.  Outputs appear whole or not at all.\n"
    "\n"
    "  --pcm16       export 16-bit linear WAVs instead of mu-law\n"
    "  --force, -y   replace an existing WAV on export\n";

void reportFile(const std::string& path, int channels, size_t frames, const char* how)
{
    printf("wrote %s: %d channel%s, %zu samples (%s), %s\n", path.c_str(), channels, channels == 1 ? "" : "s",
           frames, tapeTime(static_cast<uint32_t>(frames), true).c_str(), how);
}

} // namespace

int tapeCommand(const Args& args)
{
    ScannedArgs a;
    std::string error;
    if (!scanArguments(args, {{"--pcm16", false}, {"--force", false}, {"-y", false}}, &a, &error))
        return usageError("tape", error);
    if (a.help)
        return printUsage(tapeUsage);
    if (a.positional.empty())
        return usageError("tape", "say export or import");
    const std::string verb = a.positional[0];
    std::vector<std::string> files(a.positional.begin() + 1, a.positional.end());
    if (verb != "export" && verb != "import")
        return usageError("tape", "unknown action '" + verb + "' (export or import)");
    if (files.size() != 2 && files.size() != 3)
        return usageError("tape", verb + " takes two or three files, not " + std::to_string(files.size()));
    if (verb == "import" && has(a, "--pcm16"))
        return usageError("tape", "--pcm16 is for export");

    // Export's last file is its WAV; import's first is its WAV.
    std::vector<std::string> inputs(files.begin(), files.end()), outputs;
    if (verb == "export") {
        outputs.push_back(inputs.back());
        inputs.pop_back();
    } else {
        outputs.assign(inputs.begin() + 1, inputs.end());
        inputs.resize(1);
    }
    std::string problem = outputProblem(inputs, outputs, verb == "import" || has(a, "--force") || has(a, "-y"));
    if (!problem.empty())
        return failure("tape", problem);

    WavEncoding encoding = has(a, "--pcm16") ? WavEncoding::Pcm16 : WavEncoding::Ulaw;
    const char* how = encoding == WavEncoding::Ulaw ? "8 kHz mu-law" : "8 kHz 16-bit linear";
    if (verb == "export") {
        if (files.size() == 2) {
            if (!writeAtomically(
                    files[1], [&](const std::string& t, std::string* e) { return exportMono(files[0], t, encoding, e); },
                    &error))
                return failure("tape", error);
            std::vector<uint8_t> bytes;
            readWholeFile(files[0], &bytes, &error);
            reportFile(files[1], 1, bytes.size(), how);
        } else {
            if (!writeAtomically(
                    files[2],
                    [&](const std::string& t, std::string* e) { return exportPair(files[0], files[1], t, encoding, e); },
                    &error))
                return failure("tape", error);
            std::vector<uint8_t> in, out;
            readWholeFile(files[0], &in, &error);
            readWholeFile(files[1], &out, &error);
            reportFile(files[2], 2, std::max(in.size(), out.size()), how);
        }
        return exitOk;
    }

    TapeChannels tape;
    if (!readWavAsTape(files[0], &tape, &error))
        return failure("tape", error);
    std::string note = tape.exact ? "bytes copied" : "resampled from " + std::to_string(tape.sourceRate) + " Hz";
    if (files.size() == 2) {
        if (!writeAtomically(
                files[1], [&](const std::string& t, std::string* e) { return importMono(files[0], t, e); }, &error))
            return failure("tape", error);
        std::vector<uint8_t> bytes;
        readWholeFile(files[1], &bytes, &error);
        printf("wrote %s: %zu bytes (%s), %s\n", files[1].c_str(), bytes.size(),
               tapeTime(static_cast<uint32_t>(bytes.size()), true).c_str(), note.c_str());
    } else {
        auto both = [&](const std::string& ingoing, std::string* e) {
            return writeAtomically(
                files[2], [&](const std::string& outgoing, std::string* e2) { return importPair(files[0], ingoing, outgoing, e2); },
                e);
        };
        if (!writeAtomically(files[1], both, &error))
            return failure("tape", error);
        printf("wrote %s and %s: %zu bytes each (%s), %s\n", files[1].c_str(), files[2].c_str(),
               tape.channels[0].size(), tapeTime(static_cast<uint32_t>(tape.channels[0].size()), true).c_str(),
               note.c_str());
    }
    return exitOk;
}

} // namespace callctl
