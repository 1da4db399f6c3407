#include "settings/preferences.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "settings/prefs_ini.h"

namespace {

constexpr const char* kConfigName = "ZentrelConfig.ini";

std::runtime_error WriteError(const std::string& path) {
    return std::runtime_error("Unable to write to " + path);
}

// The whole file into `out`; 0 or the errno of the failure.
int ReadFileBytes(const std::string& path, std::string& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    out.clear();
    char buffer[65536];
    int error = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            error = errno;
            break;
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

// Writes a temporary file beside `path` and renames it over `path`: a reader (or a crash)
// sees the old file or the new one, never a part of the new one.
void ReplaceFile(const std::string& path, const std::string& text) {
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) throw WriteError(path);

    struct stat old {};
    const mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    bool ok = WriteAll(fd, text) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        throw WriteError(path);
    }
    // Makes the rename itself durable; the file is in place either way.
    const int dir = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

std::string DefaultConfigPath() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return kConfigName;
    const std::string exe(buffer, static_cast<std::size_t>(n));
    return DirectoryOf(exe) + (exe.rfind('/') == 0 ? "" : "/") + kConfigName;
}

Preferences& Preferences::Get_instance() {
    if (!instance_) instance_.reset(new Preferences(DefaultConfigPath()));
    return *instance_;
}

Preferences& Preferences::Create_instance(std::string path) {
    instance_.reset(new Preferences(std::move(path)));
    return *instance_;
}

void Preferences::Destroy_instance(bool save) {
    boost::scoped_ptr<Preferences> doomed;
    doomed.swap(instance_);
    if (doomed && save) doomed->Save();
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
    prefs_ = ReadPrefs(content);
}

void Preferences::Save() const {
    std::string existing;
    const int error = ReadFileBytes(path_, existing);
    // A file that exists but cannot be read would lose its unknown keys if written over.
    if (error != 0 && error != ENOENT) throw WriteError(path_);
    ReplaceFile(path_, WritePrefs(existing, prefs_));
}
