#include "AppDelegate.h"

#include <QString>
#include <QUrl>

#include "Browser.h"

namespace tether {

AppDelegate::AppDelegate(Desktop& desktop) : AppDelegate(desktop, Options{}) {}

AppDelegate::AppDelegate(Desktop& desktop, Options options)
    : desktop_(desktop),
      tabURL_(TabState::snapshotPath(options.supportDir)),
      enforceURL_(TabState::enforcePath(options.supportDir)),
      now_(std::move(options.now)),
      tickInterval_(options.tickInterval) {}

double AppDelegate::systemNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void AppDelegate::applicationDidFinishLaunching() {
  desktop_.setActivationPolicy(ActivationPolicy::Regular);
  desktop_.activate();
  QTimer::singleShot(0, &receiver_, [this] {
    askForSafari();
    startTicking();
  });
}

void AppDelegate::startTicking() {
  tick();
  timer_ = std::make_unique<QTimer>();
  timer_->setInterval(tickInterval_);
  QObject::connect(timer_.get(), &QTimer::timeout, &receiver_, [this] { tick(); });
  timer_->start();
}

void AppDelegate::tick() {
  const auto snapshot = readTab();
  if (!snapshot) return;
  TabState::writeSnapshot(*snapshot, tabURL_);
  applyEnforce(*snapshot);
}

std::optional<TabSnapshot> AppDelegate::readTab() {
  const double idle = desktop_.secondsSinceLastInput();
  const bool locked = desktop_.isScreenLocked();
  auto front = desktop_.frontmostBundleId();
  if (!front) return std::nullopt;
  FrontTab tab;
  if (const Browser* browser = Browser::withBundleId(*front)) {
    tab = parseScript(desktop_.runAppleScript(browser->queryScript));
  }
  return TabSnapshot{now_(), std::move(*front), std::move(tab.host), tab.privateBrowsing, idle,
                     locked};
}

void AppDelegate::applyEnforce(const TabSnapshot& snapshot) {
  const auto request = TabState::readEnforce(enforceURL_);
  if (!request || !TabState::isObeyable(*request, now_())) return;
  const Browser* browser = Browser::withBundleId(snapshot.bundleId);
  if (!browser) return;
  if (request->closePrivate && snapshot.privateBrowsing) {
    desktop_.runAppleScript(browser->closeScript);
  }
  if (request->evict && snapshot.host) desktop_.runAppleScript(browser->blankScript);
}

AppDelegate::FrontTab AppDelegate::parseScript(const std::optional<std::string>& result) {
  constexpr std::string_view urlPrefix = "url|";
  if (!result) return {};
  if (*result == "private") return {std::nullopt, true};
  if (result->starts_with(urlPrefix)) {
    return {hostFromURL(std::string_view(*result).substr(urlPrefix.size())), false};
  }
  return {};  // "", "none" and anything unexpected
}

std::optional<std::string> AppDelegate::hostFromURL(std::string_view url) {
  const QString text = QString::fromUtf8(url.data(), static_cast<qsizetype>(url.size())).trimmed();
  if (text.isEmpty() || text == QLatin1String("about:blank")) return std::nullopt;
  const QUrl parsed(text, QUrl::StrictMode);
  if (!parsed.isValid()) return std::nullopt;
  const QString host = parsed.host(QUrl::FullyEncoded).toLower();
  if (host.isEmpty()) return std::nullopt;
  return host.toStdString();
}

}  // namespace tether
