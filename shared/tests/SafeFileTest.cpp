// Files left by a writer killed mid-write. Reading untrusted files and replacing files atomically
// are tested with the files that use them: the configuration (KinwardAgentMainTest), the usage
// file (AgentTest) and the tab state files (TabStateTest).
#include "SafeFile.h"

#include <gtest/gtest.h>

#include <fstream>

namespace tether {
namespace {

namespace fs = std::filesystem;

TEST(SafeFileWrite, StaleTemporariesOfAKilledWriterAreRemovedAndNothingElse) {
  std::string pattern = (fs::temp_directory_path() / "tether-safefile-XXXXXX").string();
  const fs::path dir = ::mkdtemp(pattern.data());
  for (const char* name : {"usage.json", ".usage.json.a1B2c3", ".usage.json.keep",
                           ".enforce.json.a1B2c3"}) {
    std::ofstream(dir / name) << name;
  }
  SafeFile::removeStaleTemporaries(dir / "usage.json");
  EXPECT_FALSE(fs::exists(dir / ".usage.json.a1B2c3"));
  EXPECT_TRUE(fs::exists(dir / ".usage.json.keep"));      // not a name a writer would choose
  EXPECT_TRUE(fs::exists(dir / ".enforce.json.a1B2c3"));  // another file's
  EXPECT_EQ(*SafeFile::read(dir / "usage.json", 100), "usage.json");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tether
