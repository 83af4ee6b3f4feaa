#pragma once

#include <QCoroTask>
#include <QString>
#include <QUrl>
#include <memory>

#include "platform/WebAuthSession.h"

namespace tether {

// Web sign-in through Apple or Google: shows the service's sign-in page for a provider in the
// platform's sign-in window and returns the one-time code the page redirects to the "tether"
// scheme with. The code is then traded for an account token (TetherAPI::exchangeOAuthCode).
class OAuthBrowser {
 public:
  static inline const QString kCallbackScheme = QStringLiteral("tether");

  // serverURL: the service that serves the sign-in pages. factory: the platform's sign-in window
  // (WebAuthSession::create in the app). Needs the application object: completions are handed to
  // its thread.
  OAuthBrowser(QUrl serverURL, WebAuthSession::Factory factory);
  ~OAuthBrowser();
  OAuthBrowser(const OAuthBrowser&) = delete;
  OAuthBrowser& operator=(const OAuthBrowser&) = delete;

  // The code of a sign-in with provider ("apple" or "google"). Fails with TetherAPIError "could
  // not open the sign-in window" or "sign-in did not return a code", or with the window's own
  // PlatformError (kind signInCancelled when the parent closed it). One sign-in at a time: a
  // second call cancels the first. The task resumes on the application's thread.
  QCoro::Task<QString> signIn(QString provider);

  // The base URL, "/oauth/", provider and "?client=app".
  static QUrl pageAddress(const QUrl& serverURL, const QString& provider);
  // The completion rules: the window's error unchanged, else the value of the callback URL's
  // first query item named exactly "code" ("" for "code="), else TetherAPIError "sign-in did not
  // return a code" (also for an item "code" without "=").
  static QString codeFrom(const WebAuthSession::Outcome& outcome);

  // Whether a sign-in window is running, that is whether its session is still held.
  bool inFlight() const;

 private:
  struct Flight;
  static void completeLater(const std::weak_ptr<Flight>& flight, WebAuthSession::Outcome outcome);

  QUrl serverURL_;
  WebAuthSession::Factory factory_;
  std::shared_ptr<Flight> flight_;
};

}  // namespace tether
