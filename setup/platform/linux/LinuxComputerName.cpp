#include <QFile>
#include <QSysInfo>

#include "platform/ComputerName.h"

namespace tether {

std::optional<QString> localizedComputerName() {
  // systemd keeps the name the owner gave the computer as PRETTY_HOSTNAME.
  QFile machineInfo(QStringLiteral("/etc/machine-info"));
  if (machineInfo.open(QIODevice::ReadOnly)) {
    while (!machineInfo.atEnd()) {
      const QString line = QString::fromUtf8(machineInfo.readLine(4096)).trimmed();
      if (!line.startsWith(QLatin1String("PRETTY_HOSTNAME="))) continue;
      QString value = line.mid(16);
      if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
          value.back() == value.front())
        value = value.mid(1, value.size() - 2);
      if (!value.isEmpty()) return value;
    }
  }
  const QString host = QSysInfo::machineHostName();
  if (host.isEmpty()) return std::nullopt;
  return host;
}

}  // namespace tether
