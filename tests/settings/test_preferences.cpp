#include "settings/preferences.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "settings/prefs_ini.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteAll(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Each test works in a fresh directory of its own.
class PreferencesFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vantor-prefs-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        path_ = dir_ / "ZentrelConfig.ini";
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all);
        fs::remove_all(dir_);
    }
    std::size_t EntriesInDir() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {}));
    }
    // Expects Save to fail with the write error and to leave `before` in the file.
    void ExpectFailedSave(const Preferences& prefs, const std::string& before) {
        try {
            prefs.Save();
            ADD_FAILURE() << "Save succeeded";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), "Unable to write to " + prefs.Path());
        }
        EXPECT_EQ(ReadAll(path_), before);
        EXPECT_EQ(EntriesInDir(), 1u) << "temporary file left behind";
    }

    fs::path dir_;
    fs::path path_;
};

TEST_F(PreferencesFile, MissingFileLoadsDefaultsAndSaveCreatesTheFullFile) {
    Preferences prefs(path_.string());
    EXPECT_EQ(prefs.Get_prefs(), Prefs{});
    prefs.Save();
    EXPECT_EQ(ReadAll(path_), WritePrefs("", Prefs{}));
    EXPECT_EQ(EntriesInDir(), 1u);
}

// A new file is made as any program makes one (0666 less the umask); an existing file keeps
// the mode its owner gave it.
TEST_F(PreferencesFile, NewFilesFollowTheUmaskAndExistingOnesKeepTheirMode) {
    struct Case {
        mode_t umask;
        mode_t existing;  // 0: no file yet
        mode_t after;
    };
    for (const Case c : {Case{022, 0, 0644}, Case{027, 0, 0640}, Case{002, 0, 0664},
                         Case{022, 0600, 0600}, Case{077, 0664, 0664}}) {
        fs::remove(path_);
        if (c.existing != 0) {
            WriteAll(path_, "[Comm]\nPort=OLD\n");
            ::chmod(path_.c_str(), c.existing);
        }
        const mode_t savedUmask = ::umask(c.umask);
        Preferences prefs(path_.string());
        prefs.Save();
        ::umask(savedUmask);
        struct stat st {};
        ASSERT_EQ(::stat(path_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.after)
            << std::oct << "umask " << c.umask << ", file " << c.existing;
        EXPECT_EQ(EntriesInDir(), 1u);
    }
}

// Judged by the mode bits, so that a file its owner made read-only stays as it is even when
// the program runs as root.
TEST_F(PreferencesFile, AFileWithoutWritePermissionIsNotReplaced) {
    WriteAll(path_, "[Comm]\nPort=OLD\n");
    ::chmod(path_.c_str(), 0444);
    Preferences prefs(path_.string());
    prefs.Set_comm_prefs(CommPrefs{});
    ExpectFailedSave(prefs, "[Comm]\nPort=OLD\n");
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
}

// A configuration file that is a link (to a file kept elsewhere) stays a link; its target is
// replaced, through a temporary file beside the target.
TEST_F(PreferencesFile, ALinkIsFollowedAndItsTargetReplaced) {
    struct Case {
        const char* name;
        std::string link;  // where ZentrelConfig.ini points
        fs::path target;   // the file that is written
        bool targetExists;
    };
    const fs::path elsewhere = dir_ / "elsewhere";
    fs::create_directory(elsewhere);
    for (const Case& c :
         {Case{"relative", "elsewhere/a.ini", elsewhere / "a.ini", true},
          Case{"absolute", (elsewhere / "b.ini").string(), elsewhere / "b.ini", true},
          Case{"through a second link", "elsewhere/link.ini", elsewhere / "c.ini", true},
          Case{"to no file yet", "elsewhere/d.ini", elsewhere / "d.ini", false}}) {
        SCOPED_TRACE(c.name);
        fs::remove_all(elsewhere);
        fs::create_directory(elsewhere);
        fs::remove(path_);
        if (c.targetExists) {
            WriteAll(c.target, "; kept\n[Comm]\nPort=OLD\n");
            ::chmod(c.target.c_str(), 0640);
        }
        if (c.target.filename() == "c.ini") fs::create_symlink("c.ini", elsewhere / "link.ini");
        fs::create_symlink(c.link, path_);

        Preferences prefs(path_.string());
        EXPECT_EQ(prefs.Get_comm_prefs().Port, c.targetExists ? "OLD" : "COM1");
        CommPrefs comm;
        comm.Port = "ttyUSB3";
        prefs.Set_comm_prefs(comm);
        prefs.Save();

        EXPECT_TRUE(fs::is_symlink(path_));
        EXPECT_EQ(fs::read_symlink(path_).string(), c.link);
        EXPECT_EQ(Preferences(c.target.string()).Get_comm_prefs().Port, "ttyUSB3");
        if (c.targetExists) {
            EXPECT_EQ(ReadAll(c.target).rfind("; kept\n[Comm]\nPort=`ttyUSB3`\n", 0), 0u);
            EXPECT_EQ(fs::status(c.target).permissions(),
                      fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        }
        // No temporary file is left, here or there.
        EXPECT_EQ(EntriesInDir(), 2u);
        const std::size_t there = c.target.filename() == "c.ini" ? 2u : 1u;
        EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(elsewhere), {})),
                  there);
    }
}

// Something at the path that is not a file it can read (a FIFO here, which even root cannot
// read as a file) gives the defaults at start, without waiting for a writer, and is not
// written over at the end: the keys it may hold would be lost.
TEST_F(PreferencesFile, AnUnreadableFileIsNeitherWaitedForNorReplaced) {
    ASSERT_EQ(::mkfifo(path_.c_str(), 0666), 0);
    const Preferences prefs(path_.string());
    EXPECT_EQ(prefs.Get_prefs(), Prefs{});
    EXPECT_THROW(prefs.Save(), std::runtime_error);
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(path_)));
    EXPECT_EQ(EntriesInDir(), 1u);
}

// A longer text than a value holds is cut to 2047 characters by a save and a reload.
TEST_F(PreferencesFile, ALongTextComesBackCutTo2047Characters) {
    Preferences prefs(path_.string());
    std::string text;
    for (int i = 0; i < 3000; ++i) text.push_back(static_cast<char>('a' + i % 26));
    prefs.Set_send_prefs(3, {"A", text, "1", "0", 0});
    prefs.Save();
    const std::string reloaded = Preferences(path_.string()).Get_send_prefs(3).Msg;
    EXPECT_EQ(reloaded.size(), 2047u);
    EXPECT_EQ(reloaded, text.substr(0, 2047));
}

TEST_F(PreferencesFile, CopiesInAndOutAndReloadsWhatWasSaved) {
    WriteAll(path_, "; mine\n[Comm]\nPort=COM4\n[Elsewhere]\nkeep=` me `\n");
    Preferences prefs(path_.string());
    CommPrefs comm = prefs.Get_comm_prefs();
    EXPECT_EQ(comm.Port, "COM4");
    comm.Port = "ttyUSB1";
    EXPECT_EQ(prefs.Get_comm_prefs().Port, "COM4");  // a copy, not a view
    prefs.Set_comm_prefs(comm);
    comm.Port = "changed after Set";
    EXPECT_EQ(prefs.Get_comm_prefs().Port, "ttyUSB1");

    prefs.Set_display_prefs({-5, 10, 600, 900, 2, 7});
    prefs.Set_send_prefs(8, {"A", "%S\\r", "3", "100", 4});
    prefs.Set_reply_prefs(9, {"Z", "ok", 3, 1, {}});
    prefs.Set_send_prefs(0, {"B", std::string("x\0y", 3), "1", "0", 0});
    EXPECT_EQ(prefs.Get_send_prefs(8).Msg, "%S\\r");
    EXPECT_EQ(prefs.Get_reply_prefs(9).Action, 3);
    prefs.Save();

    const Preferences reloaded(path_.string());
    EXPECT_EQ(reloaded.Get_prefs(), prefs.Get_prefs());
    const std::string text = ReadAll(path_);
    EXPECT_EQ(text.rfind("; mine\n[Comm]\nPort=`ttyUSB1`\n", 0), 0u);
    EXPECT_NE(text.find("[Elsewhere]\nkeep=` me `\n"), std::string::npos);
}

TEST_F(PreferencesFile, InvalidSlotsThrowAndChangeNothing) {
    Preferences prefs(path_.string());
    const Prefs before = prefs.Get_prefs();
    auto message = [](auto&& call) -> std::string {
        try {
            call();
        } catch (const std::runtime_error& error) {
            return error.what();
        }
        return "no error";
    };
    for (const int slot : {-1, 9, 1000}) {
        EXPECT_EQ(message([&] { prefs.Get_send_prefs(slot); }),
                  "Preferences::Get_send_prefs(): Invalid slot.");
        EXPECT_EQ(message([&] { prefs.Set_send_prefs(slot, {"X", "x", "1", "0", 0}); }),
                  "Preferences::Set_send_prefs(): Invalid slot.");
    }
    for (const int slot : {-1, 10}) {
        EXPECT_EQ(message([&] { prefs.Get_reply_prefs(slot); }),
                  "Preferences::Get_reply_prefs(): Invalid slot.");
        EXPECT_EQ(message([&] { prefs.Set_reply_prefs(slot, {"X", "x", 1, 0, {}}); }),
                  "Preferences::Set_reply_prefs(): Invalid slot.");
    }
    EXPECT_EQ(message([&] { prefs.Get_send_prefs(8); }), "no error");
    EXPECT_EQ(message([&] { prefs.Get_reply_prefs(9); }), "no error");
    EXPECT_EQ(prefs.Get_prefs(), before);
}

TEST_F(PreferencesFile, SaveIntoAnUnwritableDirectoryKeepsTheOldFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only directories";
    WriteAll(path_, "[Comm]\nPort=OLD\n");
    Preferences prefs(path_.string());
    prefs.Set_comm_prefs(CommPrefs{});
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    ExpectFailedSave(prefs, "[Comm]\nPort=OLD\n");
}

TEST_F(PreferencesFile, WriteFailingHalfwayKeepsTheOldFile) {
    // A file size limit makes the write fail after its first bytes, like a full disk, and
    // works for root too.
    WriteAll(path_, "[Comm]\nPort=OLD\n");
    Preferences prefs(path_.string());
    prefs.Set_comm_prefs(CommPrefs{});
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 100;
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool threw = false;
    try {
        prefs.Save();
    } catch (const std::runtime_error& error) {
        threw = std::string(error.what()) == "Unable to write to " + path_.string();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(threw);
    EXPECT_EQ(ReadAll(path_), "[Comm]\nPort=OLD\n");
    EXPECT_EQ(EntriesInDir(), 1u) << "temporary file left behind";
}

TEST_F(PreferencesFile, UnusablePathsLoadDefaultsAndFailToSave) {
    const Preferences missingDir((dir_ / "absent" / "ZentrelConfig.ini").string());
    EXPECT_EQ(missingDir.Get_prefs(), Prefs{});
    EXPECT_THROW(missingDir.Save(), std::runtime_error);

    // A directory where the file should be: loads as no file, and is not replaced.
    fs::create_directory(path_);
    WriteAll(path_ / "inside", "x");
    const Preferences onDirectory(path_.string());
    EXPECT_EQ(onDirectory.Get_prefs(), Prefs{});
    EXPECT_THROW(onDirectory.Save(), std::runtime_error);
    EXPECT_EQ(ReadAll(path_ / "inside"), "x");
    EXPECT_EQ(EntriesInDir(), 1u);
}

TEST(PreferencesInstance, LivesBesideTheExecutable) {
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    const fs::path expected = fs::path(std::string(exe, static_cast<std::size_t>(n))).parent_path() /
                              "ZentrelConfig.ini";
    EXPECT_EQ(DefaultConfigPath(), expected.string());
    // Only read here: this test never saves the instance beside the test program.
    Preferences& first = Preferences::Get_instance();
    EXPECT_EQ(&first, &Preferences::Get_instance());
    EXPECT_EQ(first.Path(), expected.string());
}

}  // namespace
