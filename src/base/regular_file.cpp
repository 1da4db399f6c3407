#include "base/regular_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace files {

namespace {

std::string KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a file";
}

std::string Size(std::uint64_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= (1u << 20)) return std::to_string((bytes + (1u << 19)) >> 20) + " MiB";
    if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

// Opened without blocking (a FIFO would wait for a writer) and checked on the descriptor, so
// what is read is what was checked.
int OpenChecked(const std::string& path, std::uint64_t maxBytes, std::uint64_t& size) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) throw FileError(path + ": cannot be opened: " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        throw FileError(path + ": cannot be read: " + std::strerror(error));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw FileError(path + ": not a regular file (" + KindOf(st.st_mode) + ")");
    }
    size = static_cast<std::uint64_t>(st.st_size);
    if (size > maxBytes) {
        ::close(fd);
        throw FileError(path + ": " + Size(size) + ", more than the " + Size(maxBytes) + " this file may hold");
    }
    return fd;
}

}  // namespace

std::string ReadRegular(const std::string& path, std::uint64_t maxBytes) {
    std::uint64_t size = 0;
    const int fd = OpenChecked(path, maxBytes, size);
    std::string out;
    out.reserve(static_cast<std::size_t>(size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            // A file that grows while it is read is still held to its bound.
            if (out.size() + static_cast<std::size_t>(n) > maxBytes) {
                ::close(fd);
                throw FileError(path + ": more than the " + Size(maxBytes) + " this file may hold");
            }
            out.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            const int error = errno;
            ::close(fd);
            throw FileError(path + ": cannot be read: " + std::strerror(error));
        }
    }
    ::close(fd);
    return out;
}

void CheckRegular(const std::string& path, std::uint64_t maxBytes) {
    std::uint64_t size = 0;
    ::close(OpenChecked(path, maxBytes, size));
}

MappedFile::MappedFile(const std::string& path, std::uint64_t maxBytes) {
    std::uint64_t size = 0;
    const int fd = OpenChecked(path, maxBytes, size);
    if (size > 0) {
        void* data = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (data == MAP_FAILED) {
            const int error = errno;
            ::close(fd);
            throw FileError(path + ": cannot be read: " + std::strerror(error));
        }
        data_ = data;
        size_ = static_cast<std::size_t>(size);
    }
    ::close(fd);
}

MappedFile::~MappedFile() {
    if (data_ != nullptr) ::munmap(data_, size_);
}

std::string ResolveInside(const std::string& folder, const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path base = fs::canonical(folder.empty() ? fs::path(".") : fs::path(folder), error);
    if (error) throw FileError(folder + ": the folder for files cannot be used: " + error.message());
    const fs::path given(path);
    const fs::path resolved = fs::weakly_canonical(given.is_absolute() ? given : base / given, error);
    if (error) throw FileError(path + ": cannot be resolved: " + error.message());
    const auto [end, rest] = std::mismatch(base.begin(), base.end(), resolved.begin(), resolved.end());
    if (end != base.end() || resolved == base)
        throw FileError(path + ": outside the folder files are taken from (" + base.string() + ")");
    return resolved.string();
}

}  // namespace files
