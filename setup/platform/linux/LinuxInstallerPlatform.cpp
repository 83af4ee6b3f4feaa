#include "LinuxInstallerPlatform.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <chrono>

#include "QuietProcess.h"
#include "TetherAPIError.h"

namespace tether {

QString LinuxInstallerPlatform::temporaryDirectory() {
  // The session's runtime folder (/run/user/UID, mode 0700). Without one, a folder of a fresh
  // unique name in the machine's temporary folder, made by this process with mode 0700: never a
  // fixed name there, which another user could have made first.
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && isPrivateFolder(runtime)) return runtime;
  if (!privateFolder_) {
    QByteArray pattern =
        QDir(QDir::tempPath()).filePath(QStringLiteral("tether-XXXXXX")).toLocal8Bit();
    if (!::mkdtemp(pattern.data()))
      throw TetherAPIError(QStringLiteral("no private temporary folder"));
    privateFolder_ = QString::fromLocal8Bit(pattern);
  }
  return *privateFolder_;
}

void LinuxInstallerPlatform::runAsAdministrator(const AdministratorScript& script) {
  QProcess run;
  run.setStandardInputFile(QProcess::nullDevice());
  run.setStandardOutputFile(QProcess::nullDevice());
  const QStringList shell{QStringLiteral("/bin/sh"), QStringLiteral("-c"), script.commandLine};
  if (::geteuid() == 0) {
    run.start(shell.first(), shell.mid(1));
  } else {
    run.start(QStringLiteral("pkexec"), shell);
  }
  if (!run.waitForStarted()) throw TetherAPIError(run.errorString());
  run.waitForFinished(-1);
  if (run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0) return;
  const QString text = QString::fromUtf8(run.readAllStandardError()).trimmed();
  throw TetherAPIError(text.isEmpty() ? QStringLiteral("install failed") : text);
}

bool LinuxInstallerPlatform::isJobLoaded(const QString& label) {
  using namespace std::chrono_literals;
  const auto status = QuietProcess::exitStatus(
      QStringLiteral("systemctl"),
      {QStringLiteral("is-active"), QStringLiteral("--quiet"), label + QStringLiteral(".service")},
      10s);
  return status == 0;
}

void LinuxInstallerPlatform::openApplication(const QString& path) {
  if (isRunning(path)) return;
  QProcess::startDetached(executableOf(path), {}, QDir::homePath());
}

QString LinuxInstallerPlatform::executableOf(const QString& bundlePath) {
  const QString name = QFileInfo(bundlePath).completeBaseName();
  return QDir(bundlePath).filePath(QStringLiteral("Contents/MacOS/") + name);
}

bool LinuxInstallerPlatform::isRunning(const QString& bundlePath) {
  const QString name = QFileInfo(bundlePath).completeBaseName();
  const QString tail = u'/' + name + QStringLiteral(".app/Contents/MacOS/") + name;
  const uid_t me = ::getuid();
  QDirIterator processes(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
  while (processes.hasNext()) {
    const QString folder = processes.next();
    struct stat owner {};
    if (::stat(QFile::encodeName(folder).constData(), &owner) != 0 || owner.st_uid != me) continue;
    QString executable = QFile::symLinkTarget(folder + QStringLiteral("/exe"));
    executable.remove(QStringLiteral(" (deleted)"));
    if (executable.endsWith(tail)) return true;
  }
  return false;
}

bool LinuxInstallerPlatform::isPrivateFolder(const QString& path) {
  struct stat status {};
  return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISDIR(status.st_mode) &&
         status.st_uid == ::geteuid() && (status.st_mode & 077) == 0;
}

std::unique_ptr<InstallerPlatform> InstallerPlatform::create() {
  return std::make_unique<LinuxInstallerPlatform>();
}

}  // namespace tether
