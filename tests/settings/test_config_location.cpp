#include "settings/config_location.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "settings/preferences.h"

namespace fs = std::filesystem;

namespace {

void Touch(const fs::path& path, const std::string& text = "") {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// A temporary root holding a prefix (usr/bin, usr/share/...) and a home folder.
class ConfigLocationTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vantor-location-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        bin_ = root_ / "usr" / "bin";
        fs::create_directories(bin_);
        home_ = root_ / "home";
    }
    void TearDown() override { fs::remove_all(root_); }

    void Install() { Touch(root_ / "usr/share/vantor-simulator/installed"); }
    ConfigLocation Locate(const std::string& xdg = "") const {
        return LocateConfig(bin_.string(), {xdg, home_.string()});
    }
    std::string Beside() const { return (bin_ / "ZentrelConfig.ini").string(); }
    std::string InHome() const {
        return (home_ / ".config/vantor-simulator/ZentrelConfig.ini").string();
    }

    fs::path root_, bin_, home_;
};

TEST_F(ConfigLocationTest, WithoutTheInstalledLayoutTheFileStaysBesideTheExecutable) {
    EXPECT_EQ(Locate().path, Beside());
    EXPECT_EQ(Locate().defaultsPath, "");
    // Only the marker file counts: a share folder of that name, or a marker folder, does not.
    fs::create_directories(root_ / "usr/share/vantor-simulator/installed");
    EXPECT_EQ(Locate("/elsewhere").path, Beside());
}

TEST_F(ConfigLocationTest, AnInstalledCopyUsesTheUserConfigurationFolder) {
    Install();
    const struct {
        std::string xdg, home, expected;
    } cases[] = {
        {"/xdg/config", "/home/u", "/xdg/config/vantor-simulator/ZentrelConfig.ini"},
        {"/xdg/config/", "/home/u", "/xdg/config/vantor-simulator/ZentrelConfig.ini"},
        {"", "/home/u", "/home/u/.config/vantor-simulator/ZentrelConfig.ini"},
        {"relative/xdg", "/home/u", "/home/u/.config/vantor-simulator/ZentrelConfig.ini"},
        // No usable folder for the user: the file stays beside the executable.
        {"", "", Beside()},
        {"relative/xdg", "relative/home", Beside()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("XDG_CONFIG_HOME=" + c.xdg + " HOME=" + c.home);
        EXPECT_EQ(LocateConfig(bin_.string(), {c.xdg, c.home}).path, c.expected);
    }
}

// Write permission plays no part: whoever may write beside the executable (root in the
// tests), an installed copy still keeps the user's file in the user's folder.
TEST_F(ConfigLocationTest, WritableFolderBesideAnInstalledExecutableDoesNotDecide) {
    Install();
    ASSERT_EQ(::access(bin_.c_str(), W_OK), 0);
    EXPECT_EQ(Locate().path, InHome());
}

TEST_F(ConfigLocationTest, AFileBesideAnInstalledExecutableGivesDefaultsUntilTheUserHasOne) {
    Install();
    EXPECT_EQ(Locate().defaultsPath, "") << "no file beside: no defaults";
    Touch(bin_ / "ZentrelConfig.ini");
    EXPECT_EQ(Locate().defaultsPath, Beside());
    // Anything at the user's path, even a folder, is the user's: no defaults over it.
    fs::create_directories(InHome());
    EXPECT_EQ(Locate().defaultsPath, "");
    fs::remove(InHome());
    Touch(InHome());
    EXPECT_EQ(Locate().path, InHome());
    EXPECT_EQ(Locate().defaultsPath, "");
}

TEST_F(ConfigLocationTest, FoldersAreCreatedPrivateAndAPlainFileInTheWayFails) {
    const fs::path file = root_ / "a/b/c/ZentrelConfig.ini";
    ASSERT_TRUE(CreateFoldersFor(file.string()));
    EXPECT_TRUE(fs::is_directory(file.parent_path()));
    EXPECT_FALSE(fs::exists(file));
    struct stat info {};
    ASSERT_EQ(::stat((root_ / "a/b").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_TRUE(CreateFoldersFor(file.string())) << "existing folders are fine";

    Touch(root_ / "plain");
    EXPECT_FALSE(CreateFoldersFor((root_ / "plain/sub/ZentrelConfig.ini").string()));
}

// The program's own instance: an administrator's file beside the installed executable seeds
// a new user's settings, and the first save writes the user's file into a new folder. The
// test program runs from a folder of its own (tests/CMakeLists.txt), made "installed" here
// by the marker, so no other test sees that layout.
class ProgramConfig : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(exeDir_.empty());
        std::string pattern = (fs::temp_directory_path() / "vantor-home-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        home_ = pattern;
        Touch(share_ / kInstalledMarker);
        ::setenv("XDG_CONFIG_HOME", (home_ / "config").c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("XDG_CONFIG_HOME");
        if (!home_.empty()) fs::remove_all(home_);
        if (exeDir_.empty()) return;  // nothing was laid out (and relative paths would miss)
        fs::remove(defaults_);
        fs::remove_all(share_.parent_path());
    }

    const fs::path exeDir_ = ExecutableDirectory();
    const fs::path share_ = exeDir_ / ".." / "share" / kProgramName;
    const fs::path defaults_ = exeDir_ / kConfigName;
    fs::path home_;
};

TEST_F(ProgramConfig, InstalledInstanceStartsFromTheDefaultsAndSavesIntoANewFolder) {
    Touch(defaults_, "[Comm]\nType=2\nLocalPort=4711\n");
    const fs::path user = home_ / "config" / kProgramName / kConfigName;

    EXPECT_EQ(DefaultConfigPath(), user.string());
    Preferences& prefs = Preferences::Get_instance();
    EXPECT_EQ(prefs.Path(), user.string());
    EXPECT_EQ(prefs.Get_comm_prefs().LocalPort, 4711);
    CommPrefs comm = prefs.Get_comm_prefs();
    comm.RemotePort = 6000;
    prefs.Set_comm_prefs(comm);
    ASSERT_NO_THROW(Preferences::Destroy_instance());

    // The user's own file now wins over the defaults, which stay as they were.
    Touch(defaults_, "[Comm]\nType=1\nLocalPort=1\n");
    const Preferences& again = Preferences::Get_instance();
    EXPECT_EQ(again.Get_comm_prefs().RemotePort, 6000);
    EXPECT_EQ(again.Get_comm_prefs().LocalPort, 4711);
    EXPECT_EQ(again.Get_comm_prefs().Type, 2);
}

}  // namespace
