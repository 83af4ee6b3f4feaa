#include "QuietProcess.h"

#include <QProcess>

namespace tether::QuietProcess {

std::optional<int> exitStatus(const QString& program, const QStringList& arguments,
                              std::chrono::milliseconds timeout) {
  QProcess process;
  process.setStandardInputFile(QProcess::nullDevice());
  process.setStandardOutputFile(QProcess::nullDevice());
  process.setStandardErrorFile(QProcess::nullDevice());
  process.start(program, arguments);
  if (!process.waitForStarted()) return std::nullopt;
  if (!process.waitForFinished(static_cast<int>(timeout.count()))) {
    process.kill();
    process.waitForFinished();
    return std::nullopt;
  }
  if (process.exitStatus() != QProcess::NormalExit) return std::nullopt;
  return process.exitCode();
}

}  // namespace tether::QuietProcess
