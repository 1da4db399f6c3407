#include "base/regular_file.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

namespace fs = std::filesystem;

namespace {

class RegularFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("vantor-files-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "inside" / "deeper");
        Write(dir_ / "inside" / "small.txt", "hello");
        Write(dir_ / "outside.txt", "secret-token-of-another-user");
    }
    void TearDown() override { fs::remove_all(dir_); }
    static void Write(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    std::string P(const std::string& relative) const { return (dir_ / relative).string(); }

    fs::path dir_;
};

// Each way a path can fail to be a readable file: refused at once, naming the path and why.
// /dev/zero and a FIFO without a writer would never end or never start if they were read.
TEST_F(RegularFile, RefusesAnythingButARegularFileWithinItsSize) {
    ASSERT_EQ(::mkfifo(P("fifo").c_str(), 0600), 0);
    Write(dir_ / "big.bin", std::string(4097, 'x'));
    struct Case {
        std::string path;
        std::string says;
    };
    const Case cases[] = {
        {"/dev/zero", "not a regular file (a character device)"},
        {P("fifo"), "not a regular file (a FIFO)"},
        {P("inside"), "not a regular file (a folder)"},
        {P("big.bin"), "more than the 4 KiB this file may hold"},
        {P("missing"), "cannot be opened: No such file or directory"},
    };
    for (const Case& c : cases) {
        for (const auto& read : std::vector<std::function<void()>>{
                 [&] { files::ReadRegular(c.path, 4096); },
                 [&] { files::CheckRegular(c.path, 4096); },
                 [&] { files::MappedFile(c.path, 4096); }}) {
            try {
                read();
                ADD_FAILURE() << c.path << " was taken";
            } catch (const files::FileError& error) {
                const std::string text = error.what();
                EXPECT_EQ(text.rfind(c.path + ": ", 0), 0u) << text;
                EXPECT_NE(text.find(c.says), std::string::npos) << text;
            }
        }
    }
    EXPECT_EQ(files::ReadRegular(P("inside/small.txt"), 5), "hello");
    EXPECT_EQ(files::MappedFile(P("inside/small.txt"), 5).Bytes(), "hello");
    EXPECT_EQ(files::ReadRegular(P("big.bin"), 4097).size(), 4097u);
    Write(dir_ / "empty", "");
    EXPECT_EQ(files::MappedFile(P("empty"), 5).Bytes(), "");
}

// A remote caller's path: inside the folder it is resolved, every link followed; a way out by
// "..", by an absolute path or by a link is refused.
TEST_F(RegularFile, ResolvesOnlyInsideItsFolder) {
    const std::string folder = P("inside");
    fs::create_symlink(dir_ / "outside.txt", dir_ / "inside" / "link-out");
    fs::create_symlink(dir_ / "inside" / "small.txt", dir_ / "inside" / "deeper" / "link-in");
    EXPECT_EQ(files::ResolveInside(folder, "small.txt"), fs::canonical(P("inside/small.txt")).string());
    EXPECT_EQ(files::ResolveInside(folder, P("inside/small.txt")), fs::canonical(P("inside/small.txt")).string());
    EXPECT_EQ(files::ResolveInside(folder, "deeper/link-in"), fs::canonical(P("inside/small.txt")).string());
    EXPECT_EQ(files::ResolveInside(folder, "deeper/../new.json"), fs::weakly_canonical(P("inside/new.json")).string());
    for (const std::string& way_out :
         {std::string("../outside.txt"), P("outside.txt"), std::string("link-out"), std::string("/etc/shadow"),
          std::string("deeper/../../outside.txt"), std::string("."), std::string("")}) {
        try {
            files::ResolveInside(folder, way_out);
            ADD_FAILURE() << way_out << " was taken";
        } catch (const files::FileError& error) {
            EXPECT_NE(std::string(error.what()).find("outside the folder"), std::string::npos) << error.what();
        }
    }
    // A folder that is a prefix of another's name is not its parent.
    fs::create_directories(dir_ / "inside-not");
    Write(dir_ / "inside-not" / "x", "x");
    EXPECT_THROW(files::ResolveInside(folder, P("inside-not/x")), files::FileError);
}

}  // namespace
