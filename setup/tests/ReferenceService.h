#pragma once

#include <signal.h>
#include <sys/prctl.h>

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#ifndef TETHER_SERVICE_BINARY
#define TETHER_SERVICE_BINARY ""
#endif

// The reference web service as a child process: a fresh database in a temporary folder, a port
// the system picks on 127.0.0.1, read back from the line the service prints once it listens.
// Given a certificate chain and key it serves HTTPS.
class ReferenceService {
 public:
  explicit ReferenceService(const QString& tlsCert = {}, const QString& tlsKey = {}) {
    const QString program = QStringLiteral(TETHER_SERVICE_BINARY);
    if (program.isEmpty() || !QFileInfo::exists(program)) {
      problem_ = QStringLiteral("tether-service is not built");
      return;
    }
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Ends with the test process, even one that crashed: a service left running would keep
    // ctest's output pipe open.
    process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    QStringList arguments{QStringLiteral("--db"), dir_.filePath(QStringLiteral("service.sqlite")),
                          QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")};
    if (!tlsCert.isEmpty())
      arguments << QStringLiteral("--tls-cert") << tlsCert << QStringLiteral("--tls-key") << tlsKey;
    process_.start(program, arguments);
    QByteArray output;
    const QDeadlineTimer deadline(20000);
    while (!output.contains('\n') && process_.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
      output += process_.readAllStandardOutput();
    const QByteArray prefix = "listening on ";
    if (!output.startsWith(prefix)) {
      problem_ = QStringLiteral("tether-service did not start: ") + QString::fromUtf8(output);
      return;
    }
    url_ = QUrl((tlsCert.isEmpty() ? QStringLiteral("http://") : QStringLiteral("https://")) +
                QString::fromUtf8(output.mid(prefix.size()).trimmed()));
  }

  ~ReferenceService() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    if (!process_.waitForFinished(10000)) {
      process_.kill();
      process_.waitForFinished();
    }
  }

  // Empty when the service runs.
  const QString& problem() const { return problem_; }
  const QUrl& url() const { return url_; }

 private:
  QTemporaryDir dir_;
  QProcess process_;
  QString problem_;
  QUrl url_;
};
