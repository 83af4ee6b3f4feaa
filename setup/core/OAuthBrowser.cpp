#include "OAuthBrowser.h"

#include <QCoreApplication>
#include <QStringList>
#include <coroutine>
#include <optional>
#include <utility>

#include "TetherAPIError.h"
#include "TetherClient.h"

namespace tether {

// One sign-in: the running session (which holds what the window needs, its presenter included)
// until the outcome arrives, and the signIn call waiting for it.
struct OAuthBrowser::Flight {
  std::unique_ptr<WebAuthSession> session;
  std::optional<WebAuthSession::Outcome> outcome;
  std::coroutine_handle<> waiting;

  // Takes the first outcome only, releases the session and resumes the waiting call.
  void finish(WebAuthSession::Outcome result) {
    if (outcome) return;
    outcome = std::move(result);
    session.reset();
    if (auto handle = std::exchange(waiting, {})) handle.resume();
  }

  // Holds a plain pointer: signIn keeps the flight alive, and GCC 12 destroys a braced temporary
  // in a co_await operand twice (an owning member would be released twice).
  struct Awaiter {
    Flight* flight;
    bool await_ready() const noexcept { return flight->outcome.has_value(); }
    void await_suspend(std::coroutine_handle<> handle) noexcept { flight->waiting = handle; }
    WebAuthSession::Outcome await_resume() { return std::move(*flight->outcome); }
  };
};

namespace {

// The value of the first item of the URL's query named exactly name. Names and values are
// percent-decoded ("+" stays "+"); an item without "=" has no value, and ends the search as well.
std::optional<QString> firstQueryValue(const QUrl& url, const QString& name) {
  if (!url.hasQuery()) return std::nullopt;
  const QString query = url.query(QUrl::FullyEncoded);
  for (const QString& item : query.split(u'&')) {
    const qsizetype equals = item.indexOf(u'=');
    const QString itemName = QUrl::fromPercentEncoding(item.left(equals < 0 ? item.size() : equals).toUtf8());
    if (itemName != name) continue;
    if (equals < 0) return std::nullopt;
    return QUrl::fromPercentEncoding(item.mid(equals + 1).toUtf8());
  }
  return std::nullopt;
}

}  // namespace

OAuthBrowser::OAuthBrowser(QUrl serverURL, WebAuthSession::Factory factory)
    : serverURL_(std::move(serverURL)), factory_(std::move(factory)) {}

// A sign-in still running keeps its window: its call resumes when the window ends.
OAuthBrowser::~OAuthBrowser() = default;

QUrl OAuthBrowser::pageAddress(const QUrl& serverURL, const QString& provider) {
  return TetherClient::address(serverURL, QStringLiteral("/oauth/") + provider + QStringLiteral("?client=app"));
}

QString OAuthBrowser::codeFrom(const WebAuthSession::Outcome& outcome) {
  if (outcome.error) throw *outcome.error;
  if (outcome.callbackURL && outcome.callbackURL->isValid()) {
    if (auto code = firstQueryValue(*outcome.callbackURL, QStringLiteral("code"))) return *code;
  }
  throw TetherAPIError(QStringLiteral("sign-in did not return a code"));
}

bool OAuthBrowser::inFlight() const { return flight_ && flight_->session; }

// The platform may complete on any thread and from inside its own calls: the outcome is handed
// to the application's thread and taken there, after the platform's call has returned.
void OAuthBrowser::completeLater(const std::weak_ptr<Flight>& flight, WebAuthSession::Outcome outcome) {
  QMetaObject::invokeMethod(
      QCoreApplication::instance(),
      [flight, outcome = std::move(outcome)]() mutable {
        if (auto running = flight.lock()) running->finish(std::move(outcome));
      },
      Qt::QueuedConnection);
}

QCoro::Task<QString> OAuthBrowser::signIn(QString provider) {
  const QUrl page = pageAddress(serverURL_, provider);
  if (inFlight()) {
    flight_->session.reset();
    completeLater(flight_, {std::nullopt, PlatformError(PlatformError::Kind::signInCancelled, 0,
                                                        QStringLiteral("another sign-in started"))});
  }

  auto flight = std::make_shared<Flight>();
  flight->session = factory_(page, kCallbackScheme, [weak = std::weak_ptr<Flight>(flight)](WebAuthSession::Outcome outcome) {
    completeLater(weak, std::move(outcome));
  });
  flight_ = flight;
  if (!flight->session || !flight->session->start()) {
    // Released at once; a completion that still arrives finds the outcome taken.
    flight->finish({});
    throw TetherAPIError(QStringLiteral("could not open the sign-in window"));
  }
  const WebAuthSession::Outcome outcome = co_await Flight::Awaiter{flight.get()};
  co_return codeFrom(outcome);
}

}  // namespace tether
