#include "mailbox.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "tape_wav.h"

namespace callctl {

namespace {

std::string systemError(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + strerror(errno);
}

bool makeFolder(const std::string& path, std::string* error)
{
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return true;
        *error = path + " is not a folder";
        return false;
    }
    *error = systemError("can't create", path);
    return false;
}

// Makes the names just linked or renamed in a folder survive a power cut.
void syncFolder(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

bool readText(const std::string& path, std::string* text)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW);
    if (fd < 0)
        return false;
    text->clear();
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text->append(buffer, static_cast<size_t>(n));
    close(fd);
    return n == 0;
}

bool isRegularFile(const std::string& path, struct stat* st = nullptr)
{
    struct stat local;
    struct stat* s = st ? st : &local;
    return lstat(path.c_str(), s) == 0 && S_ISREG(s->st_mode);
}

bool endsWith(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Moves `from` to `to` unless `to` exists; the loser of two processes moving
// the same file sees ENOENT.  Where the file system can't do that in one
// step, a link and an unlink do the same, with a moment in which both names
// exist.
bool moveNoReplace(const std::string& from, const std::string& to)
{
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (link(from.c_str(), to.c_str()) < 0)
        return false;
    unlink(from.c_str());
    return true;
}

std::string numberedName(const std::string& stem, int n)
{
    return n == 1 ? stem : stem + "-" + std::to_string(n);
}

constexpr int maxNameTries = 1000;

} // namespace

const char* stateName(MessageState state)
{
    switch (state) {
    case MessageState::New:
        return "new";
    case MessageState::Saved:
        return "saved";
    case MessageState::Trash:
        return "trash";
    }
    return "?";
}

Mailbox::Mailbox(std::string dir) : dir_(std::move(dir))
{
    while (dir_.size() > 1 && dir_.back() == '/')
        dir_.pop_back();
}

std::string Mailbox::folder(MessageState state) const { return dir_ + "/" + stateName(state); }

bool Mailbox::open(std::string* error)
{
    return makeFolder(dir_, error) && makeFolder(folder(MessageState::New), error) &&
           makeFolder(folder(MessageState::Saved), error) && makeFolder(folder(MessageState::Trash), error) &&
           makeFolder(dir_ + "/.tmp", error);
}

std::vector<Message> Mailbox::listFolder(MessageState state, std::string* error) const
{
    std::vector<Message> out;
    std::string path = folder(state);
    DIR* d = opendir(path.c_str());
    if (!d) {
        *error = systemError("can't read", path);
        return out;
    }
    while (struct dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name[0] == '.' || !endsWith(name, ".json"))
            continue;
        Message m;
        m.state = state;
        m.stem = name.substr(0, name.size() - 5);
        m.audioPath = path + "/" + m.stem + ".ul";
        m.metaPath = path + "/" + name;
        std::string text, ignored;
        // A record without its audio belongs to a move or a commit that did
        // not finish: not a message.
        if (!isRegularFile(m.audioPath) || !readText(m.metaPath, &text) || !metaFromJson(text, &m.meta, &ignored))
            continue;
        out.push_back(std::move(m));
    }
    closedir(d);
    return out;
}

std::vector<Message> Mailbox::list(std::string* error) const
{
    std::vector<Message> all = listFolder(MessageState::New, error);
    std::vector<Message> saved = listFolder(MessageState::Saved, error);
    all.insert(all.end(), saved.begin(), saved.end());
    std::stable_sort(all.begin(), all.end(), [](const Message& a, const Message& b) {
        return a.meta.start != b.meta.start ? a.meta.start < b.meta.start : a.stem < b.stem;
    });
    return all;
}

std::vector<Message> Mailbox::listTrash(std::string* error) const
{
    std::vector<Message> all = listFolder(MessageState::Trash, error);
    std::stable_sort(all.begin(), all.end(), [](const Message& a, const Message& b) {
        return a.meta.start != b.meta.start ? a.meta.start < b.meta.start : a.stem < b.stem;
    });
    return all;
}

static std::string uniqueTempName(const std::string& dir, const char* suffix)
{
    static std::atomic<unsigned> counter{0};
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return dir + "/.tmp/" + std::to_string(getpid()) + "-" + std::to_string(now.tv_nsec) + "-" +
           std::to_string(counter++) + suffix;
}

bool Mailbox::writeTempFile(const std::string& bytes, std::string* path, std::string* error)
{
    int fd = -1;
    for (int i = 0; i < 100 && fd < 0; ++i) {
        *path = uniqueTempName(dir_, ".json");
        fd = ::open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
        if (fd < 0 && errno != EEXIST) {
            *error = systemError("can't create", *path);
            return false;
        }
    }
    if (fd < 0) {
        *error = "no free temporary name in " + dir_ + "/.tmp";
        return false;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            *error = systemError("can't write", *path);
            close(fd);
            unlink(path->c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    // The record must be on disk before a name makes the message list.
    if (fsync(fd) < 0 || close(fd) < 0) {
        *error = systemError("can't write", *path);
        unlink(path->c_str());
        return false;
    }
    return true;
}

bool Mailbox::beginMessage(PendingMessage* pending, std::string* error)
{
    for (int i = 0; i < 100; ++i) {
        std::string path = uniqueTempName(dir_, ".ul");
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            close(fd);
            pending->audioPath = path;
            return true;
        }
        if (errno != EEXIST) {
            *error = systemError("can't create", path);
            return false;
        }
    }
    *error = "no free temporary name in " + dir_ + "/.tmp";
    return false;
}

void Mailbox::abandonMessage(PendingMessage* pending)
{
    if (!pending->audioPath.empty())
        unlink(pending->audioPath.c_str());
    pending->audioPath.clear();
}

bool Mailbox::commitMessage(PendingMessage* pending, const MessageMeta& meta, Message* stored, std::string* error)
{
    if (pending->audioPath.empty()) {
        *error = "no message is being recorded";
        return false;
    }
    std::string audio = pending->audioPath;
    int fd = ::open(audio.c_str(), O_RDONLY | O_NOFOLLOW);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) < 0 || !S_ISREG(st.st_mode) || fsync(fd) < 0) {
        *error = systemError("can't read back", audio);
        if (fd >= 0)
            close(fd);
        abandonMessage(pending);
        return false;
    }
    close(fd);

    Message m;
    m.state = MessageState::New;
    m.meta = meta;
    m.meta.durationSamples = static_cast<uint64_t>(st.st_size);
    m.meta.heard = false;
    m.meta.deleted = 0;
    std::string tempMeta;
    if (!writeTempFile(metaToJson(m.meta), &tempMeta, error)) {
        abandonMessage(pending);
        return false;
    }
    std::string to = folder(MessageState::New);
    std::string stem = messageStem(meta.start, meta.caller);
    bool done = false, failed = false;
    for (int n = 1; n <= maxNameTries && !done && !failed; ++n) {
        m.stem = numberedName(stem, n);
        m.audioPath = to + "/" + m.stem + ".ul";
        m.metaPath = to + "/" + m.stem + ".json";
        // The record takes the name first, exclusively; the audio linked
        // beside it makes the message list.
        if (link(tempMeta.c_str(), m.metaPath.c_str()) < 0) {
            if (errno == EEXIST)
                continue;
            *error = systemError("can't store", m.metaPath);
            failed = true;
            continue;
        }
        if (link(audio.c_str(), m.audioPath.c_str()) < 0) {
            int saved = errno;
            unlink(m.metaPath.c_str());
            if (saved == EEXIST)
                continue;
            errno = saved;
            *error = systemError("can't store", m.audioPath);
            failed = true;
            continue;
        }
        done = true;
    }
    if (!done && !failed)
        *error = "no free name for " + stem + " in " + to;
    unlink(tempMeta.c_str());
    abandonMessage(pending);
    if (!done)
        return false;
    syncFolder(to);
    if (stored)
        *stored = m;
    return true;
}

bool Mailbox::move(Message* message, MessageState to, const MessageMeta& meta, std::string* error)
{
    if (!isRegularFile(message->audioPath)) {
        *error = "message " + message->stem + " is no longer in " + folder(message->state);
        return false;
    }
    std::string tempMeta;
    if (!writeTempFile(metaToJson(meta), &tempMeta, error))
        return false;
    std::string target = folder(to);
    Message m = *message;
    m.state = to;
    m.meta = meta;
    bool done = false, failed = false;
    std::string stem = message->stem;
    for (int n = 1; n <= maxNameTries && !done && !failed; ++n) {
        m.stem = numberedName(stem, n);
        m.audioPath = target + "/" + m.stem + ".ul";
        m.metaPath = target + "/" + m.stem + ".json";
        if (link(tempMeta.c_str(), m.metaPath.c_str()) < 0) {
            if (errno == EEXIST)
                continue;
            *error = systemError("can't store", m.metaPath);
            failed = true;
            continue;
        }
        if (!moveNoReplace(message->audioPath, m.audioPath)) {
            int saved = errno;
            unlink(m.metaPath.c_str());
            if (saved == EEXIST)
                continue;
            if (saved == ENOENT)
                *error = "message " + message->stem + " was moved by someone else";
            else
                *error = "can't move " + message->audioPath + ": " + strerror(saved);
            failed = true;
            continue;
        }
        done = true;
    }
    if (!done && !failed)
        *error = "no free name for " + stem + " in " + target;
    unlink(tempMeta.c_str());
    if (!done)
        return false;
    // The old record goes last: until then the message lists in its new
    // place and its old record, without audio, in none.
    unlink(message->metaPath.c_str());
    std::string oldWav = folder(message->state) + "/" + message->stem + ".wav";
    if (isRegularFile(oldWav) && !moveNoReplace(oldWav, target + "/" + m.stem + ".wav"))
        unlink(oldWav.c_str()); // a copy: made again when wanted
    syncFolder(target);
    syncFolder(folder(message->state));
    *message = m;
    return true;
}

bool Mailbox::markHeard(Message* message, std::string* error)
{
    if (message->meta.heard)
        return true;
    if (!isRegularFile(message->audioPath)) {
        *error = "message " + message->stem + " is no longer in " + folder(message->state);
        return false;
    }
    MessageMeta meta = message->meta;
    meta.heard = true;
    std::string tempMeta;
    if (!writeTempFile(metaToJson(meta), &tempMeta, error))
        return false;
    if (rename(tempMeta.c_str(), message->metaPath.c_str()) < 0) {
        *error = systemError("can't update", message->metaPath);
        unlink(tempMeta.c_str());
        return false;
    }
    message->meta = meta;
    return true;
}

bool Mailbox::save(Message* message, std::string* error)
{
    if (message->state == MessageState::Saved)
        return true;
    MessageMeta meta = message->meta;
    meta.deleted = 0;
    return move(message, MessageState::Saved, meta, error);
}

bool Mailbox::moveToTrash(Message* message, int64_t now, std::string* error)
{
    if (message->state == MessageState::Trash)
        return true;
    MessageMeta meta = message->meta;
    meta.deleted = now;
    return move(message, MessageState::Trash, meta, error);
}

bool Mailbox::restore(Message* message, std::string* error)
{
    if (message->state != MessageState::Trash) {
        *error = "message " + message->stem + " is not in the trash";
        return false;
    }
    MessageMeta meta = message->meta;
    meta.deleted = 0;
    return move(message, MessageState::New, meta, error);
}

int Mailbox::purge(int64_t now)
{
    int removed = 0;
    std::string ignored;
    for (const Message& m : listFolder(MessageState::Trash, &ignored)) {
        int64_t deleted = m.meta.deleted;
        struct stat st;
        if (deleted == 0 && isRegularFile(m.metaPath, &st))
            deleted = st.st_mtime; // put there by hand: counted from then
        if (deleted != 0 && now - deleted > trashKeepSeconds) {
            removed += unlink(m.audioPath.c_str()) == 0;
            removed += unlink(m.metaPath.c_str()) == 0;
            removed += unlink((folder(MessageState::Trash) + "/" + m.stem + ".wav").c_str()) == 0;
        }
    }
    auto sweep = [&](const std::string& path, auto shouldRemove) {
        DIR* d = opendir(path.c_str());
        if (!d)
            return;
        std::vector<std::string> doomed;
        while (struct dirent* e = readdir(d)) {
            std::string name = e->d_name;
            struct stat st;
            if (name == "." || name == ".." || !isRegularFile(path + "/" + name, &st))
                continue;
            if (shouldRemove(name, st))
                doomed.push_back(path + "/" + name);
        }
        closedir(d);
        for (const std::string& p : doomed)
            removed += unlink(p.c_str()) == 0;
    };
    // Files of a recording still running are touched as it goes; a day
    // untouched means the process that wrote them is gone.
    sweep(dir_ + "/.tmp", [&](const std::string&, const struct stat& st) { return now - st.st_mtime > staleTempSeconds; });
    for (MessageState state : {MessageState::New, MessageState::Saved, MessageState::Trash}) {
        std::string path = folder(state);
        // A record without audio is left by a move or commit cut short, a
        // WAV without its message by a move cut short; an hour's grace
        // keeps clear of one that is under way.
        sweep(path, [&](const std::string& name, const struct stat& st) {
            bool record = endsWith(name, ".json"), wav = endsWith(name, ".wav");
            if (name[0] == '.') // a WAV export that never finished
                return name.find(".wav.tmp-") != std::string::npos && now - st.st_mtime > staleTempSeconds;
            return (record || wav) && now - st.st_mtime > 3600 &&
                   !isRegularFile(path + "/" + name.substr(0, name.size() - (record ? 5 : 4)) + (record ? ".ul" : ".json"));
        });
    }
    return removed;
}

bool Mailbox::exportWav(const Message& message, const std::string& wavPath, std::string* error) const
{
    std::vector<uint8_t> audio;
    if (!readWholeFile(message.audioPath, &audio, error))
        return false;
    size_t slash = wavPath.rfind('/');
    std::string temp = (slash == std::string::npos ? std::string() : wavPath.substr(0, slash + 1)) + "." +
                       wavPath.substr(slash == std::string::npos ? 0 : slash + 1) + ".tmp-" + std::to_string(getpid());
    if (!writeUlawWav(temp, 1, audio, WavEncoding::Pcm16, error)) {
        unlink(temp.c_str());
        return false;
    }
    if (rename(temp.c_str(), wavPath.c_str()) < 0) {
        *error = systemError("can't write", wavPath);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

bool Mailbox::writeWavBeside(const Message& message, std::string* wavPath, std::string* error) const
{
    std::string path = folder(message.state) + "/" + message.stem + ".wav";
    if (!exportWav(message, path, error))
        return false;
    *wavPath = path;
    return true;
}

} // namespace callctl
