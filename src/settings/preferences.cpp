#include "settings/preferences.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "base/regular_file.h"
#include "settings/config_location.h"
#include "settings/prefs_ini.h"

namespace {

std::runtime_error WriteError(const std::string& path) {
    return std::runtime_error("Unable to write to " + path);
}

// The whole file into `out`; 0 or the errno of the failure. Only a regular file is read: a
// FIFO or a device at the path would block the start or never end (EINVAL).
int ReadFileBytes(const std::string& path, std::string& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    out.clear();
    struct stat st {};
    int error = ::fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
    if (error == 0 && static_cast<std::uint64_t>(st.st_size) > files::kMaxSettingsBytes) error = EFBIG;
    char buffer[65536];
    while (error == 0) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
            if (out.size() > files::kMaxSettingsBytes) error = EFBIG;
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            error = errno;
        }
    }
    ::close(fd);
    return error;
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file `path` names, with symbolic links followed (the last target need not exist yet);
// false for a loop or a link that cannot be read.
bool FollowLinks(std::string& path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        char target[4096];
        const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) return false;
        const std::string link(target, static_cast<std::size_t>(n));
        path = link.front() == '/' ? link : DirectoryOf(path) + "/" + link;
    }
    return false;
}

// A new file beside `target` for writing; -1 when none can be made. Created 0666, so that
// the umask (or the folder's default ACL) decides the mode of a new file, as for any other.
int CreateTempFile(const std::string& target, std::string& temp) {
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = target + '.' + std::to_string(::getpid()) + '.' + std::to_string(++counter) + ".tmp";
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Writes a temporary file beside the file `path` names and renames it over that file: a
// reader (or a crash) sees the old file or the new one, never a part of the new one. A link
// stays a link, with its target replaced; an existing file keeps its mode and owner; a file
// without any write permission is left alone (judged by its mode bits, so this holds for
// root too).
void ReplaceFile(const std::string& path, const std::string& text) {
    std::string target = path;
    if (!FollowLinks(target)) throw WriteError(path);
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists &&
        ((old.st_mode & 0222) == 0 || ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0))
        throw WriteError(path);

    std::string temp;
    const int fd = CreateTempFile(target, temp);
    if (fd < 0) throw WriteError(path);
    bool ok = WriteAll(fd, text);
    if (ok && exists) {
        // Root saving someone else's file leaves it theirs; a failure here is no reason to
        // lose the settings.
        [[maybe_unused]] const int owned = ::fchown(fd, old.st_uid, old.st_gid);
        ok = ::fchmod(fd, old.st_mode & 07777) == 0;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        throw WriteError(path);
    }
    // Makes the rename itself durable; the file is in place either way.
    const int dir = ::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

void CheckSlot(int slot, int count, const char* operation) {
    if (slot < 0 || slot >= count) {
        throw std::runtime_error(std::string("Preferences::") + operation + "(): Invalid slot.");
    }
}

}  // namespace

boost::scoped_ptr<Preferences> Preferences::instance_;

std::string DefaultConfigPath() { return LocateProgramConfig().path; }

Preferences& Preferences::Get_instance() {
    if (!instance_) {
        const ConfigLocation location = LocateProgramConfig();
        instance_.reset(new Preferences(location.path));
        // A user without a file of their own starts from the one beside the installed program.
        if (!location.defaultsPath.empty())
            instance_->prefs_ = Preferences(location.defaultsPath).prefs_;
    }
    return *instance_;
}

Preferences& Preferences::Create_instance(std::string path) {
    instance_.reset(new Preferences(std::move(path)));
    return *instance_;
}

void Preferences::Destroy_instance(bool save) {
    boost::scoped_ptr<Preferences> doomed;
    doomed.swap(instance_);
    if (!doomed || !save) return;
    // The user's configuration folder may not exist before the first save; when it cannot be
    // made, Save reports the file it could not write.
    CreateFoldersFor(doomed->Path());
    doomed->Save();
}

Preferences::Preferences(std::string path) : path_(std::move(path)) { Load(); }

SendPrefs Preferences::Get_send_prefs(int slot) const {
    CheckSlot(slot, kSendSlots, "Get_send_prefs");
    return prefs_.Send[static_cast<std::size_t>(slot)];
}

void Preferences::Set_send_prefs(int slot, const SendPrefs& send) {
    CheckSlot(slot, kSendSlots, "Set_send_prefs");
    prefs_.Send[static_cast<std::size_t>(slot)] = send;
}

ReplyPrefs Preferences::Get_reply_prefs(int slot) const {
    CheckSlot(slot, kReplySlots, "Get_reply_prefs");
    return prefs_.Reply[static_cast<std::size_t>(slot)];
}

void Preferences::Set_reply_prefs(int slot, const ReplyPrefs& reply) {
    CheckSlot(slot, kReplySlots, "Set_reply_prefs");
    prefs_.Reply[static_cast<std::size_t>(slot)] = reply;
}

void Preferences::Load() {
    std::string content;
    if (ReadFileBytes(path_, content) != 0) content.clear();
    loadWarnings_.clear();
    prefs_ = ReadPrefs(content, &loadWarnings_);
    for (SettingWarning& warning : loadWarnings_) warning.text = path_ + ": " + warning.text;
}

void Preferences::Save() const {
    std::string existing;
    const int error = ReadFileBytes(path_, existing);
    // A file that exists but cannot be read would lose its unknown keys if written over.
    if (error != 0 && error != ENOENT) throw WriteError(path_);
    ReplaceFile(path_, WritePrefs(existing, prefs_));
}

namespace {

// Most of its non-blank lines are sections, keys or comments, and it holds no NUL byte.
bool LooksLikeSettings(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) return false;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::size_t known = 0, other = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
            line.remove_suffix(1);
        if (line.empty()) continue;
        const bool section = line.front() == '[' && line.back() == ']';
        const bool comment = line.front() == ';' || line.front() == '#';
        const bool key = line.find('=') != std::string_view::npos && line.front() != '=';
        (section || comment || key ? known : other) += 1;
    }
    return other <= known;
}

}  // namespace

SettingsFileCheck CheckSettingsFile(const std::string& path) {
    SettingsFileCheck check;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            check.missing = true;
        } else {
            check.problem = path + ": " + std::strerror(errno);
        }
        return check;
    }
    if (S_ISDIR(st.st_mode)) {
        check.problem = path + " is a directory, not a settings file";
        return check;
    }
    std::string content;
    if (const int error = ReadFileBytes(path, content); error != 0) {
        check.problem = error == EINVAL  ? path + " is not a regular file"
                        : error == EFBIG ? path + " is larger than a settings file may be (" +
                                               std::to_string(files::kMaxSettingsBytes >> 20) + " MiB)"
                                         : "cannot read " + path + ": " + std::strerror(error);
        return check;
    }
    if (!LooksLikeSettings(content)) check.problem = path + " is not a settings file";
    return check;
}
