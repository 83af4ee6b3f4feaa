// The Linux stores under the session store: the typed defaults file, and the token in a real
// Secret Service (GNOME Keyring on a private session bus).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QStandardPaths>

#include "SessionStore.h"
#include "SetupTestSupport.h"
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

// GNOME Keyring's Secret Service on a session bus of its own (dbus-run-session), with a
// temporary HOME whose login keyring is created and unlocked with a test password. Every process
// of it runs in one process group, ended as a whole.
class PrivateKeyring {
 public:
  PrivateKeyring() {
    for (const char* tool : {"dbus-run-session", "dbus-send", "gnome-keyring-daemon"})
      if (QStandardPaths::findExecutable(tool).isEmpty())
        problem_ = QString(tool) + " is not installed";
    if (!problem_.isEmpty()) return;
    QDir(home_.path()).mkpath("run");
    QFile::setPermissions(home_.filePath("run"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home_.path());
    env.insert("XDG_RUNTIME_DIR", home_.filePath("run"));
    env.insert("XDG_DATA_HOME", home_.filePath("data"));
    env.insert("XDG_CONFIG_HOME", home_.filePath("config"));
    env.insert("KEYRING_PASSWORD", "test password");
    env.remove("DBUS_SESSION_BUS_ADDRESS");
    env.remove("DISPLAY");
    process_.setProcessEnvironment(env);
    process_.setChildProcessModifier([] {
      ::setsid();
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    });
    // The address is printed once the Secret Service owns its name on the bus.
    const char* script = R"(
      printf '%s' "$KEYRING_PASSWORD" | gnome-keyring-daemon --unlock --foreground --components=secrets >/dev/null &
      for i in $(seq 200); do
        dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
          org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets | grep -q 'boolean true' &&
          { echo "$DBUS_SESSION_BUS_ADDRESS"; wait; exit; }
        sleep 0.05
      done
      echo "the Secret Service did not appear on the bus" >&2
    )";
    process_.start("dbus-run-session", {"--", "sh", "-c", script});
    QByteArray line;
    const QDeadlineTimer deadline(20000);
    while (!line.contains('\n') &&
           process_.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
      line += process_.readAllStandardOutput();
    if (!line.startsWith("unix:")) {
      problem_ =
          "GNOME Keyring did not start: " + QString::fromUtf8(process_.readAllStandardError());
      return;
    }
    qputenv("DBUS_SESSION_BUS_ADDRESS", line.trimmed());
  }

  ~PrivateKeyring() {
    if (process_.state() == QProcess::NotRunning) return;
    ::kill(-static_cast<pid_t>(process_.processId()), SIGTERM);
    if (!process_.waitForFinished(10000))
      ::kill(-static_cast<pid_t>(process_.processId()), SIGKILL);
    process_.waitForFinished();
  }

  const QString& problem() const { return problem_; }

 private:
  QTemporaryDir home_;
  QProcess process_;
  QString problem_;
};

// How many items the Secret Service holds for the account, locked or not, as another client on
// the bus sees them.
int itemCount(const QString& account) {
  QProcess search;
  search.start("dbus-send",
               {"--session", "--print-reply", "--dest=org.freedesktop.secrets",
                "/org/freedesktop/secrets", "org.freedesktop.Secret.Service.SearchItems",
                "dict:string:string:service," + kService + ",account," + account});
  if (!search.waitForFinished(10000) || search.exitCode() != 0) {
    ADD_FAILURE() << "SearchItems failed: " << search.readAllStandardError().toStdString();
    return -1;
  }
  return static_cast<int>(search.readAllStandardOutput().count("object path"));
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
  if (!keyring.problem().isEmpty()) GTEST_SKIP() << keyring.problem().toStdString();
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
