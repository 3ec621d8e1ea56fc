// Where config.ini and the results store live: beside the program where it may write there, in
// the user's folders otherwise. The read-only cases run as an ordinary user, also under root.
#include "store/program_folders.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "store/run_directory.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/unprivileged.h"

namespace shopwalk {
namespace {

using test::PutFile;
using test::ScratchDirectory;

Environment Fake(std::map<std::string, std::string> variables) {
  return [variables](const char* name) -> std::optional<std::string> {
    auto it = variables.find(name);
    if (it == variables.end()) return std::nullopt;
    return it->second;
  };
}

TEST(ProgramFoldersTest, AWritableProgramFolderKeepsBothFiles) {
  ScratchDirectory dir;
  const auto env = Fake({{"HOME", dir.File("home")}});
  EXPECT_EQ(SettingsDirectory(dir.path(), env), dir.path());
  EXPECT_EQ(DataDirectory(dir.path(), env), dir.path());
  EXPECT_EQ(SettingsDirectoryToRead(dir.path(), dir.path()), dir.path());
  EXPECT_EQ(ExportDirectory(dir.path(), env), dir.path());
  EXPECT_FALSE(test::Exists(dir.File("home")));
}

TEST(ProgramFoldersTest, AnInstalledProgramKeepsItsFilesInTheUsersFolders) {
  ScratchDirectory dir;
  const std::string program = dir.File("program");
  ASSERT_EQ(::mkdir(program.c_str(), 0755), 0);
  PutFile(program + "/config.ini", "[Mivu]\r\nNow_ID=5\r\n");
  ASSERT_EQ(::chmod((program + "/config.ini").c_str(), 0644), 0);
  dir.HandTo(test::UnprivilegedUser, test::UnprivilegedGroup);
  // The program's folder and its config.ini stay root's (or, not as root, read-only to us).
  if (!test::RunningAsRoot()) {
    ASSERT_EQ(::chmod((program + "/config.ini").c_str(), 0444), 0);
    ASSERT_EQ(::chmod(program.c_str(), 0555), 0);
  } else {
    ASSERT_EQ(::chown(program.c_str(), 0, 0), 0);
    ASSERT_EQ(::chown((program + "/config.ini").c_str(), 0, 0), 0);
  }
  test::RunUnprivileged([&] {
    const std::string home = dir.File("home");
    const auto plain = Fake({{"HOME", home}});
    EXPECT_EQ(SettingsDirectory(program, plain), home + "/.config/shopwalk");
    EXPECT_EQ(ExportDirectory(program, plain), home);
    EXPECT_EQ(DataDirectory(program, plain), home + "/.local/share/shopwalk");
    EXPECT_TRUE(test::Exists(home + "/.config/shopwalk"));
    EXPECT_TRUE(test::Exists(home + "/.local/share/shopwalk"));
    // Until the user saved a place, the config.ini shipped beside the program is read.
    EXPECT_EQ(SettingsDirectoryToRead(program, home + "/.config/shopwalk"), program);
    PutFile(home + "/.config/shopwalk/config.ini", "[Mivu]\r\nNow_ID=9\r\n");
    EXPECT_EQ(SettingsDirectoryToRead(program, home + "/.config/shopwalk"),
              home + "/.config/shopwalk");

    // XDG folders when set; a relative one is ignored, as the XDG rules say.
    const auto xdg = Fake(
        {{"HOME", home}, {"XDG_CONFIG_HOME", dir.File("cfg")}, {"XDG_DATA_HOME", "relative/data"}});
    EXPECT_EQ(SettingsDirectory(program, xdg), dir.File("cfg") + "/shopwalk");
    EXPECT_EQ(DataDirectory(program, xdg), home + "/.local/share/shopwalk");
  });
  ::chmod(program.c_str(), 0755);
}

TEST(ProgramFoldersTest, AWritableConfigInAReadOnlyFolderStaysWhereItIs) {
  ScratchDirectory dir;
  const std::string program = dir.File("program");
  ASSERT_EQ(::mkdir(program.c_str(), 0755), 0);
  PutFile(program + "/config.ini", "[Mivu]\r\nNow_ID=5\r\n");
  dir.HandTo(test::UnprivilegedUser, test::UnprivilegedGroup);
  if (test::RunningAsRoot()) {
    ASSERT_EQ(::chown(program.c_str(), 0, 0), 0);
    ASSERT_EQ(
        ::chown((program + "/config.ini").c_str(), test::UnprivilegedUser, test::UnprivilegedGroup),
        0);
  } else {
    ASSERT_EQ(::chmod(program.c_str(), 0555), 0);
  }
  test::RunUnprivileged([&] {
    const auto env = Fake({{"HOME", dir.File("home")}});
    // config.ini is written in place; the store needs a writable folder for its journal.
    EXPECT_EQ(SettingsDirectory(program, env), program);
    EXPECT_EQ(DataDirectory(program, env), dir.File("home") + "/.local/share/shopwalk");
  });
  ::chmod(program.c_str(), 0755);
}

TEST(ProgramFoldersTest, TheInstalledProgramsNeverWriteIntoTheirOwnFolder) {
  // Even where that folder may be written (root, /usr/bin): the user's folders take the files.
  ScratchDirectory dir;
  const auto env = Fake({{"HOME", dir.File("home")}});
  const std::string installed = InstalledProgramDirectory();
  EXPECT_EQ(SettingsDirectory(installed, env), dir.File("home") + "/.config/shopwalk");
  EXPECT_EQ(DataDirectory(installed, env), dir.File("home") + "/.local/share/shopwalk");
  EXPECT_EQ(ExportDirectory(installed, env), dir.File("home"));
}

// Without HOME the user's folders go into the temporary folder, which everyone may write: a
// folder there that another user made first, or a link they put there, is not used.
TEST(ProgramFoldersTest, WithoutAHomeNoOneElsesFolderInTheTemporaryFolderIsUsed) {
  if (!test::RunningAsRoot()) GTEST_SKIP() << "two users are needed, and only root can be both";
  ScratchDirectory dir;
  dir.ShareLikeTmp();
  const std::string program = InstalledProgramDirectory();
  const auto noHome = Fake({{"TMPDIR", dir.path()}});
  test::RunUnprivileged([&] {
    // The attacker's own folders are theirs to use.
    EXPECT_EQ(SettingsDirectory(program, noHome), dir.File(".config/shopwalk"));
    ASSERT_EQ(::chmod(dir.File(".config").c_str(), 0777), 0);
    const std::string elsewhere = dir.File("elsewhere");
    ASSERT_EQ(::mkdir(elsewhere.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(elsewhere.c_str(), 0777), 0);
    ASSERT_EQ(::symlink(elsewhere.c_str(), dir.File(".local").c_str()), 0);
  });
  test::RunUnprivileged(
      [&] {
        const std::string settings = SettingsDirectory(program, noHome);
        const std::string data = DataDirectory(program, noHome);
        // One private folder of the victim's for both, made in the temporary folder.
        EXPECT_EQ(settings, data);
        EXPECT_EQ(settings.rfind(dir.File("shopwalk-"), 0), 0u) << settings;
        const struct stat info = test::Status(settings);
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_uid, test::OtherUnprivilegedUser);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        // Nothing was made through the attacker's link.
        EXPECT_FALSE(test::Exists(dir.File("elsewhere/share")));
      },
      test::OtherUnprivilegedUser, test::OtherUnprivilegedGroup);
}

}  // namespace
}  // namespace shopwalk
