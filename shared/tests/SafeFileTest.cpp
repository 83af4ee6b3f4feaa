// Reading untrusted files and replacing files atomically.
#include "SafeFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

namespace tether {
namespace {

namespace fs = std::filesystem;

struct Folder {
  fs::path path;
  Folder() {
    std::string pattern = (fs::temp_directory_path() / "tether-safefile-XXXXXX").string();
    path = ::mkdtemp(pattern.data());
  }
  ~Folder() { fs::remove_all(path); }
};

void put(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

TEST(SafeFileRead, RefusesWhatIsNotASmallRegularFile) {
  Folder dir;
  put(dir.path / "small", "hello");
  put(dir.path / "big", std::string(100, 'x'));
  fs::create_symlink(dir.path / "small", dir.path / "link");
  ::mkfifo((dir.path / "fifo").c_str(), 0600);

  EXPECT_EQ(*SafeFile::read(dir.path / "small", 5), "hello");
  EXPECT_EQ(*SafeFile::read(dir.path / "link", 5), "hello");
  auto link = SafeFile::read(dir.path / "link", 5, SafeFile::Links::Refuse);
  ASSERT_FALSE(link);
  EXPECT_NE(link.error().find("symbolic link"), std::string::npos);
  auto big = SafeFile::read(dir.path / "big", 99);
  ASSERT_FALSE(big);
  EXPECT_NE(big.error().find("larger than 99"), std::string::npos);
  // A FIFO would block a plain reader forever.
  EXPECT_FALSE(SafeFile::read(dir.path / "fifo", 10));
  EXPECT_FALSE(SafeFile::read(dir.path, 10));
  EXPECT_FALSE(SafeFile::read(dir.path / "absent", 10));
}

TEST(SafeFileWrite, ReplacesAtomicallyNeverThroughAPlantedLinkAndLeavesNoTemporaryFiles) {
  Folder dir;
  const fs::path target = dir.path / "usage.json";
  put(target, "old");
  ASSERT_TRUE(SafeFile::writeAtomically(target, "new"));
  EXPECT_EQ(*SafeFile::read(target, 10), "new");

  put(dir.path / "victim", "precious");
  fs::create_symlink(dir.path / "victim", dir.path / "enforce.json");
  ASSERT_TRUE(SafeFile::writeAtomically(dir.path / "enforce.json", "{}"));
  EXPECT_FALSE(fs::is_symlink(dir.path / "enforce.json"));
  EXPECT_EQ(*SafeFile::read(dir.path / "victim", 100), "precious");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator{}), 3);
}

TEST(SafeFileWrite, FailureLeavesThePreviousFileIntact) {
  Folder dir;
  const fs::path target = dir.path / "sub";
  fs::create_directory(target);  // a folder cannot be replaced by a file
  put(target / "keep", "x");
  EXPECT_FALSE(SafeFile::writeAtomically(target, "new"));
  EXPECT_TRUE(fs::is_directory(target));
  EXPECT_FALSE(SafeFile::writeAtomically(dir.path / "missing" / "f", "new"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator{}), 1);
}

TEST(SafeFileWrite, StaleTemporariesOfAKilledWriterAreRemovedAndNothingElse) {
  Folder dir;
  const fs::path target = dir.path / "usage.json";
  put(target, "current");
  put(dir.path / ".usage.json.a1B2c3", "torn");
  put(dir.path / ".usage.json.keep", "not ours");
  put(dir.path / ".enforce.json.a1B2c3", "another file's");
  SafeFile::removeStaleTemporaries(target);
  EXPECT_FALSE(fs::exists(dir.path / ".usage.json.a1B2c3"));
  EXPECT_TRUE(fs::exists(dir.path / ".usage.json.keep"));
  EXPECT_TRUE(fs::exists(dir.path / ".enforce.json.a1B2c3"));
  EXPECT_EQ(*SafeFile::read(target, 100), "current");
}

}  // namespace
}  // namespace tether
