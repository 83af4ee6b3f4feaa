#include "platform/linux/LinuxDesktop.h"

#include <unistd.h>

#include <QMessageBox>
#include <QPushButton>
#include <QString>

#include "AppBundle.h"
#include "BundleInfo.h"

namespace tether {

namespace {

QString qtText(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The executable's path from /proc; nothing for a process that ended or is not ours to examine.
std::optional<std::string> executableOf(pid_t pid) {
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  char path[4096];
  const ssize_t n = ::readlink(link.c_str(), path, sizeof path);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof path) return std::nullopt;
  return std::string(path, static_cast<std::size_t>(n));
}

}  // namespace

std::unique_ptr<Desktop> Desktop::create() {
  return std::make_unique<LinuxDesktop>(LinuxDesktop::Options{});
}

LinuxDesktop::LinuxDesktop(const Options& options)
    : x11_(options.display), screenLock_(options.systemBus, options.sessionBus) {}

std::optional<std::string> LinuxDesktop::frontmostBundleId() {
  if (!x11_.connected()) return std::nullopt;
  const auto pid = x11_.activeWindowProcess();
  if (!pid) return "";
  const auto executable = executableOf(*pid);
  if (!executable) return "";
  const auto infoPlist = AppBundle::infoPlistPath(*executable);
  if (!infoPlist) return "";
  auto info = BundleInfo::load(*infoPlist);
  if (!info) return "";
  return std::move(info->identifier);
}

double LinuxDesktop::secondsSinceLastInput() {
  return static_cast<double>(x11_.idleMilliseconds()) / 1000.0;
}

std::unique_ptr<QMessageBox> LinuxDesktop::makeAlert(std::string_view message,
                                                     std::string_view informativeText,
                                                     std::string_view button) {
  auto box = std::make_unique<QMessageBox>();
  box->setWindowTitle(QStringLiteral("Tether Tab Helper"));
  box->setIcon(QMessageBox::Information);
  box->setTextFormat(Qt::PlainText);
  box->setText(qtText(message));
  box->setInformativeText(qtText(informativeText));
  box->setDefaultButton(box->addButton(qtText(button), QMessageBox::AcceptRole));
  return box;
}

void LinuxDesktop::showAlert(std::string_view message, std::string_view informativeText,
                             std::string_view button) {
  makeAlert(message, informativeText, button)->exec();
}

}  // namespace tether
