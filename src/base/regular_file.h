#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// Everything the program reads from a path goes through here: only a regular file is read,
// and only up to a stated size. A device (/dev/zero), a FIFO or a directory at the path is
// refused at once with the path and the reason, so no file can block the program or eat its
// memory.
namespace files {

class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The sizes the program takes, by what the file holds.
inline constexpr std::uint64_t kMaxDocumentBytes = 8u << 20;  // a scenario, expectations, a fleet
inline constexpr std::uint64_t kMaxScriptBytes = 1u << 20;    // a scenario's script, a replay mask
inline constexpr std::uint64_t kMaxSettingsBytes = 4u << 20;  // the settings file
inline constexpr std::uint64_t kMaxSecretBytes = 64u << 10;   // a token, a certificate, a key
inline constexpr std::uint64_t kMaxRecordingBytes = 16ull << 30;  // mapped, never read whole

// The whole file. Throws FileError: "PATH: not a regular file (a character device)",
// "PATH: 9 MiB, more than the 8 MiB this file may hold", "PATH: cannot be opened: ...".
std::string ReadRegular(const std::string& path, std::uint64_t maxBytes);

// Only checks that the path names a regular file of at most maxBytes (for files that a
// library opens itself); throws FileError as ReadRegular does.
void CheckRegular(const std::string& path, std::uint64_t maxBytes);

// A regular file mapped read-only: its bytes are paged in as they are parsed, so a large
// capture costs no memory of its own. Throws FileError as ReadRegular does.
class MappedFile {
public:
    MappedFile(const std::string& path, std::uint64_t maxBytes);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::string_view Bytes() const { return {static_cast<const char*>(data_), size_}; }

private:
    void* data_ = nullptr;
    std::size_t size_ = 0;
};

// `path` (relative paths are taken from `folder`) resolved with every link followed, when it
// lies inside `folder`; throws FileError naming the path otherwise. For paths that a remote
// caller gives: it can never make the program read outside the folder it was given.
std::string ResolveInside(const std::string& folder, const std::string& path);

}  // namespace files
