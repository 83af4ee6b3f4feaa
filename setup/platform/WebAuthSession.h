#pragma once

#include <QString>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>

#include "PlatformError.h"

namespace tether {

// One web sign-in in the platform's sign-in window: it shows a page and ends when the page
// redirects to the callback scheme, or when the window fails or the parent cancels it.
class WebAuthSession {
 public:
  // What the window ended with: the callback URL, or the platform's error (a cancellation among
  // them), or, should the platform give neither, nothing.
  struct Outcome {
    std::optional<QUrl> callbackURL;
    std::optional<PlatformError> error;
  };
  // Called at most once per session, on any thread. Destroying a session that has not completed
  // closes its window without calling it.
  using Completion = std::function<void(Outcome)>;
  using Factory = std::function<std::unique_ptr<WebAuthSession>(const QUrl& page,
                                                                const QString& callbackScheme,
                                                                Completion completion)>;

  virtual ~WebAuthSession() = default;
  // Shows the window; false when it cannot be shown (a completion that still arrives then is
  // ignored by the caller).
  virtual bool start() = 0;

  // macOS: ASWebAuthenticationSession, non-ephemeral, anchored to the key window. Linux: a Qt
  // WebEngine dialog on a persistent profile that takes the callback scheme for itself.
  static std::unique_ptr<WebAuthSession> create(const QUrl& page, const QString& callbackScheme,
                                                Completion completion);
  // Must run before the application object exists (Qt WebEngine registers its URL schemes then);
  // nothing to do on macOS.
  static void registerCallbackScheme(const QString& callbackScheme);
};

}  // namespace tether
