// The Linux stores under the session store: the typed defaults file, and the token in a real
// Secret Service (GNOME Keyring on a private session bus).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "SessionStore.h"
#include "SetupTestSupport.h"
#include "TestHelpers.h"
#include "platform/linux/JsonUserDefaults.h"

using namespace tether;

namespace {

const QString kService = QStringLiteral("riz.edarodorizavive.tether.test");

TEST(JsonUserDefaults, KeepsEachValuesTypeAcrossLaunchesAndReplacesAnUndecodableFile) {
  QTemporaryDir dir;
  const QString path = dir.filePath("config/tether.json");
  const auto launch = [&] {
    return SessionStore(std::make_shared<MemoryKeychain>(),
                        std::make_shared<JsonUserDefaults>(path.toStdString()));
  };
  launch().setSelectedDeviceID(std::nullopt);
  EXPECT_FALSE(QFile::exists(path)) << "removing a key from nothing wrote a file";
  launch().setSignedInEmail("p@example.com");
  launch().setSelectedDeviceID(42);
  EXPECT_EQ(launch().signedInEmail(), "p@example.com");
  EXPECT_EQ(launch().selectedDeviceID(), 42);
  EXPECT_EQ(contents(path), R"({"selectedDeviceID":42,"signedInEmail":"p@example.com"})");
  struct stat info {};
  ASSERT_EQ(::stat(path.toLocal8Bit().constData(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // A number written as a string is not a device choice; removing it keeps everything else.
  writeFile(path, R"({"selectedDeviceID":"42","other":[1]})");
  EXPECT_EQ(launch().selectedDeviceID(), std::nullopt);
  launch().setSelectedDeviceID(std::nullopt);
  EXPECT_EQ(contents(path), R"({"other":[1]})");

  for (const QByteArray& bad :
       {QByteArray("{\"selectedDeviceID\": 4"), QByteArray("[4]"), QByteArray("\xFF")}) {
    writeFile(path, bad);
    EXPECT_EQ(launch().selectedDeviceID(), std::nullopt) << bad.constData();
  }
  launch().setSelectedDeviceID(5);
  EXPECT_EQ(contents(path), R"({"selectedDeviceID":5})");
}

// GNOME Keyring's Secret Service on a session bus of its own, with a temporary HOME whose login
// keyring is created and unlocked with a test password.
class PrivateKeyring {
 public:
  PrivateKeyring() {
    std::string bus;
    dbus_ = test::startServer(
        {"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"}, bus);
    if (!dbus_) return;
    const std::string home = home_.path().string();
    std::filesystem::create_directory(home_ / "run");
    std::filesystem::permissions(home_ / "run", std::filesystem::perms::owner_all);
    keyring_ = std::make_unique<test::ChildProcess>(std::vector<std::string>{
        "/bin/sh", "-c",
        "printf 'test password' | exec env -u XDG_DATA_HOME -u XDG_CONFIG_HOME HOME=" + home +
            " XDG_RUNTIME_DIR=" + home + "/run DBUS_SESSION_BUS_ADDRESS=" + bus +
            " gnome-keyring-daemon --unlock --foreground --components=secrets"});
    qputenv("DBUS_SESSION_BUS_ADDRESS", QByteArray::fromStdString(bus));
    // Ready once the Secret Service owns its name on the bus.
    for (int i = 0; i < 200 && !ready(); ++i) QTest::qWait(50);
  }
  bool ready() const {
    return keyring_ &&
           test::run({"/usr/bin/dbus-send", "--session", "--print-reply",
                      "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                      "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.secrets"})
                   .out.find("boolean true") != std::string::npos;
  }

 private:
  test::TempDir home_;
  std::unique_ptr<test::ChildProcess> dbus_, keyring_;
};

// How many items the Secret Service holds for the account, locked or not, as another client on
// the bus sees them.
int itemCount(const QString& account) {
  const test::RunResult found = test::run(
      {"/usr/bin/dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.secrets",
       "/org/freedesktop/secrets", "org.freedesktop.Secret.Service.SearchItems",
       "dict:string:string:service," + kService.toStdString() + ",account," +
           account.toStdString()});
  EXPECT_EQ(found.status, 0) << found.err;
  return static_cast<int>(test::count(found.out, "object path"));
}

// Runs first: with no Secret Service to reach nothing is kept anywhere, and nothing fails.
TEST(LinuxKeychain, KeepsNothingWithoutASecretService) {
  QTemporaryDir dir;
  const QByteArray saved = qgetenv("DBUS_SESSION_BUS_ADDRESS");
  qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir.filePath("no-bus").toLocal8Bit());
  SessionStore store(Keychain::system(kService),
                     std::make_shared<JsonUserDefaults>(dir.filePath("d.json").toStdString()));
  store.setApiToken("token");
  EXPECT_EQ(store.apiToken(), std::nullopt);
  store.clear();
  qputenv("DBUS_SESSION_BUS_ADDRESS", saved);
}

TEST(LinuxKeychain, KeepsOneTokenInARealSecretService) {
  PrivateKeyring keyring;
  if (!keyring.ready()) GTEST_SKIP() << "GNOME Keyring did not start on a private bus";
  QTemporaryDir dir;
  std::shared_ptr<Keychain> keychain = Keychain::system(kService);
  auto defaults = std::make_shared<JsonUserDefaults>(dir.filePath("d.json").toStdString());
  SessionStore store(keychain, defaults);

  store.setApiToken("first-token");
  store.setApiToken("second-tök€n");
  EXPECT_EQ(itemCount("apiToken"), 1);
  EXPECT_EQ(SessionStore(Keychain::system(kService), std::make_shared<MemoryDefaults>()).apiToken(),
            "second-tök€n");
  keychain->add("garbled", "\xFF\xFEtoken");
  EXPECT_EQ(itemCount("garbled"), 1);
  EXPECT_EQ(store.read("garbled"), std::nullopt);

  store.setSignedInEmail("p@example.com");
  store.setSelectedDeviceID(3);
  defaults->setObject("unrelated", "kept");
  store.clear();
  EXPECT_EQ(itemCount("apiToken"), 0);
  EXPECT_EQ(store.apiToken(), std::nullopt);
  EXPECT_EQ(contents(dir.filePath("d.json")), R"({"unrelated":"kept"})");
  EXPECT_EQ(itemCount("garbled"), 1) << "clear() removed another account's item";
}

}  // namespace
