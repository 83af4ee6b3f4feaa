// The web sign-in window on macOS: ASWebAuthenticationSession, which takes the callback scheme
// itself and shares the browser's stored cookies (non-ephemeral).
#import <AppKit/AppKit.h>
#import <AuthenticationServices/AuthenticationServices.h>

#include "platform/WebAuthSession.h"

// Tells the session which window its sheet belongs to: the key window, else the first window,
// else a new one.
@interface AuthPresenter : NSObject <ASWebAuthenticationPresentationContextProviding>
@end

@implementation AuthPresenter
- (ASPresentationAnchor)presentationAnchorForWebAuthenticationSession:(ASWebAuthenticationSession*)session {
  if (NSWindow* key = NSApp.keyWindow) return key;
  if (NSWindow* first = NSApp.windows.firstObject) return first;
  return [[NSWindow alloc] init];
}
@end

namespace tether {

namespace {

class MacWebAuthSession final : public WebAuthSession {
 public:
  MacWebAuthSession(QUrl page, QString callbackScheme, Completion completion)
      : page_(std::move(page)), scheme_(std::move(callbackScheme)), completion_(std::move(completion)) {}

  ~MacWebAuthSession() override { [session_ cancel]; }

  bool start() override {
    Completion completion = completion_;
    // The platform calls this once, on a thread of its choosing.
    auto handler = ^(NSURL* callbackURL, NSError* error) {
      Outcome outcome;
      if (error != nil) {
        const bool cancelled = [error.domain isEqualToString:ASWebAuthenticationSessionErrorDomain] &&
                               error.code == ASWebAuthenticationSessionErrorCodeCanceledLogin;
        outcome.error = PlatformError(cancelled ? PlatformError::Kind::signInCancelled : PlatformError::Kind::signIn,
                                      static_cast<int>(error.code), QString::fromNSString(error.localizedDescription));
      } else if (callbackURL != nil) {
        outcome.callbackURL = QUrl::fromNSURL(callbackURL);
      }
      completion(std::move(outcome));
    };
    presenter_ = [[AuthPresenter alloc] init];
    session_ = [[ASWebAuthenticationSession alloc] initWithURL:page_.toNSURL()
                                             callbackURLScheme:scheme_.toNSString()
                                             completionHandler:handler];
    session_.presentationContextProvider = presenter_;
    session_.prefersEphemeralWebBrowserSession = NO;
    return [session_ start];
  }

 private:
  QUrl page_;
  QString scheme_;
  Completion completion_;
  ASWebAuthenticationSession* session_ = nil;
  AuthPresenter* presenter_ = nil;
};

}  // namespace

std::unique_ptr<WebAuthSession> WebAuthSession::create(const QUrl& page, const QString& callbackScheme,
                                                       Completion completion) {
  return std::make_unique<MacWebAuthSession>(page, callbackScheme, std::move(completion));
}

void WebAuthSession::registerCallbackScheme(const QString& /*callbackScheme*/) {}

}  // namespace tether
