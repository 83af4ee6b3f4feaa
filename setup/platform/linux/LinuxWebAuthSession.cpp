// The web sign-in window on Linux: a Qt WebEngine dialog on a persistent profile. The callback
// scheme is taken by a handler on that profile, and the dialog's page opens no other unknown
// scheme, so neither reaches the desktop's handlers (xdg-open): otherwise any page on the web
// could hand the app a code and pair this computer with a stranger's account.
#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>
#include <QWebEngineUrlSchemeHandler>
#include <QWebEngineView>

#include "platform/WebAuthSession.h"

namespace tether {

namespace {

// Takes every request for the callback scheme: the URL goes to the running sign-in and the
// request itself fails.
class CallbackSchemeHandler final : public QWebEngineUrlSchemeHandler {
 public:
  using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;

  std::function<void(const QUrl&)> onCallback;

  void requestStarted(QWebEngineUrlRequestJob* job) override {
    const QUrl url = job->requestUrl();
    job->fail(QWebEngineUrlRequestJob::RequestDenied);
    if (onCallback) onCallback(url);
  }
};

struct SignInProfile {
  QWebEngineProfile* profile;
  CallbackSchemeHandler* handler;
};

// One profile for every sign-in of the process, kept on disk like the browser session that the
// macOS sign-in shares: a provider's cookies survive to the next sign-in.
SignInProfile& signInProfile(const QByteArray& scheme) {
  static SignInProfile instance = [&] {
    auto* profile = new QWebEngineProfile(QStringLiteral("SignIn"), QCoreApplication::instance());
    auto* handler = new CallbackSchemeHandler(profile);
    profile->installUrlSchemeHandler(scheme, handler);
    return SignInProfile{profile, handler};
  }();
  return instance;
}

// The window the dialog belongs to: the active window, else the first visible one; with none
// the dialog is a window of its own.
QWidget* anchorWindow() {
  if (QWidget* active = QApplication::activeWindow()) return active;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (widget->isWindow() && widget->isVisible()) return widget;
  }
  return nullptr;
}

class LinuxWebAuthSession final : public WebAuthSession {
 public:
  LinuxWebAuthSession(QUrl page, QString callbackScheme, Completion completion)
      : page_(std::move(page)), scheme_(callbackScheme.toUtf8()), completion_(std::move(completion)) {}

  ~LinuxWebAuthSession() override {
    if (handler_) handler_->onCallback = nullptr;
    QObject::disconnect(finished_);
    QObject::disconnect(destroyed_);
    if (dialog_) {
      dialog_->hide();
      dialog_->deleteLater();
    }
  }

  bool start() override {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return false;
    const SignInProfile& signIn = signInProfile(scheme_);
    handler_ = signIn.handler;

    dialog_ = new QDialog(anchorWindow());
    dialog_->setObjectName(QStringLiteral("signInDialog"));
    dialog_->setWindowTitle(QObject::tr("Sign in"));
    dialog_->resize(480, 640);
    auto* view = new QWebEngineView(dialog_);
    view->setObjectName(QStringLiteral("signInView"));
    auto* page = new QWebEnginePage(signIn.profile, view);
    page->settings()->setUnknownUrlSchemePolicy(QWebEngineSettings::DisallowUnknownUrlSchemes);
    view->setPage(page);
    auto* layout = new QVBoxLayout(dialog_);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view);

    QObject::connect(view, &QWebEngineView::titleChanged, dialog_, [dialog = dialog_](const QString& title) {
      if (!title.isEmpty()) dialog->setWindowTitle(title);
    });
    // Closing the dialog, or losing it with its parent window, cancels the sign-in.
    const auto cancel = [this] {
      complete({std::nullopt, PlatformError(PlatformError::Kind::signInCancelled, 0,
                                            QObject::tr("the sign-in window was closed"))});
    };
    finished_ = QObject::connect(dialog_, &QDialog::finished, dialog_, cancel);
    destroyed_ = QObject::connect(dialog_, &QObject::destroyed, cancel);
    handler_->onCallback = [this](const QUrl& url) {
      complete({url, std::nullopt});
      if (dialog_) dialog_->accept();
    };

    view->load(page_);
    dialog_->open();
    return true;
  }

 private:
  void complete(Outcome outcome) {
    if (done_) return;
    done_ = true;
    completion_(std::move(outcome));
  }

  QUrl page_;
  QByteArray scheme_;
  Completion completion_;
  QPointer<QDialog> dialog_;
  QPointer<CallbackSchemeHandler> handler_;
  QMetaObject::Connection finished_;
  QMetaObject::Connection destroyed_;
  bool done_ = false;
};

}  // namespace

std::unique_ptr<WebAuthSession> WebAuthSession::create(const QUrl& page, const QString& callbackScheme,
                                                       Completion completion) {
  return std::make_unique<LinuxWebAuthSession>(page, callbackScheme, std::move(completion));
}

void WebAuthSession::registerCallbackScheme(const QString& callbackScheme) {
  QWebEngineUrlScheme scheme(callbackScheme.toUtf8());
  scheme.setSyntax(QWebEngineUrlScheme::Syntax::Path);
  QWebEngineUrlScheme::registerScheme(scheme);
}

}  // namespace tether
