// The web sign-in's completion rules, over a sign-in window that the test completes itself.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <thread>

#include "OAuthBrowser.h"
#include "PlatformError.h"
#include "SetupTestSupport.h"

using namespace tether;

namespace {

// "code ..." or the error's text, preceded by "cancelled: " for a cancellation.
QString resultOf(const std::function<QString()>& code) {
  try {
    return "code " + code();
  } catch (const PlatformError& e) {
    return (e.kind() == PlatformError::Kind::signInCancelled ? "cancelled: " : "") +
           e.description();
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  }
}

const PlatformError kClosed(PlatformError::Kind::signInCancelled, 1, "closed by the parent");

QString codeFrom(const WebAuthSession::Outcome& outcome) {
  return resultOf([&] { return OAuthBrowser::codeFrom(outcome); });
}

TEST(OAuthBrowser, TakesTheFirstItemNamedExactlyCode) {
  const char* none = "sign-in did not return a code";
  const std::pair<const char*, const char*> cases[] = {
      {"tether://oauth?code=abc", "code abc"},
      {"tether://oauth?state=x&code=first&code=second", "code first"},
      {"tether://oauth?code=", "code "},
      {"tether://oauth?code=a%2Bb%20c+d", "code a+b c+d"},
      {"tether://oauth?co%64e=decoded", "code decoded"},
      {"tether://oauth?code", none},
      {"tether://oauth?code&code=later", none},
      {"tether://oauth?Code=x&CODE=y", none},
      {"tether://oauth?codes=x&xcode=y", none},
      {"tether://oauth#code=x", none},
      {"", none},  // no URL at all
  };
  for (const auto& [url, expected] : cases) {
    const std::optional<QUrl> given = *url ? std::optional(QUrl(url)) : std::nullopt;
    EXPECT_EQ(codeFrom({given, std::nullopt}), expected) << url;
  }
  // The window's error wins, unchanged, even beside a URL.
  EXPECT_EQ(codeFrom({QUrl("tether://oauth?code=x"), kClosed}), "cancelled: closed by the parent");
}

TEST(OAuthBrowser, EndsEachSignInOnceAndReleasesItsWindow) {
  const struct {
    const char* what;
    bool opens;
    std::vector<WebAuthSession::Outcome> outcomes;  // the window's completions, in order
    QString result;
  } cases[] = {
      {"a code, then a late cancellation",
       true,
       {{QUrl("tether://oauth?code=first"), std::nullopt}, {std::nullopt, kClosed}},
       "code first"},
      {"cancelled", true, {{std::nullopt, kClosed}}, "cancelled: closed by the parent"},
      {"the window cannot open", false, {}, "could not open the sign-in window"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedWebAuth windows;
    windows.startSucceeds = c.opens;
    OAuthBrowser browser(QUrl("https://tether.example/"), windows.factory());  // one slash, not two
    auto task = browser.signIn("google");
    EXPECT_EQ(windows.pages,
              QStringList({"https://tether.example/oauth/google?client=app tether"}));
    if (!c.outcomes.empty()) {
      EXPECT_TRUE(browser.inFlight());
      const WebAuthSession::Completion done = windows.last->done;
      for (const auto& outcome : c.outcomes) done(outcome);
    }
    EXPECT_EQ(resultOf([&] { return awaitTask(std::move(task)); }), c.result);
    EXPECT_EQ(windows.released, 1);
    EXPECT_FALSE(browser.inFlight());
    QCoreApplication::processEvents();  // a second completion arrives and is dropped
  }
}

TEST(OAuthBrowser,
     ASecondSignInCancelsTheFirstAndACompletionOnAnotherThreadResumesOnTheAppsThread) {
  ScriptedWebAuth windows;
  OAuthBrowser browser(QUrl("https://tether.example"), windows.factory());
  auto first = browser.signIn("apple");
  QThread* resumedOn = nullptr;
  // A coroutine lambda must outlive its coroutine: it is kept in a variable.
  auto caller = [&]() -> QCoro::Task<QString> {
    QString code = co_await browser.signIn("google");
    resumedOn = QThread::currentThread();
    co_return code;
  };
  auto second = caller();
  EXPECT_EQ(windows.released, 1);
  EXPECT_TRUE(resultOf([&] { return awaitTask(std::move(first)); }).startsWith("cancelled: "));
  std::thread([done = windows.last->done] {
    done({QUrl("tether://oauth?code=second"), std::nullopt});
  }).join();
  EXPECT_EQ(resultOf([&] { return awaitTask(std::move(second)); }), "code second");
  EXPECT_EQ(resumedOn, QCoreApplication::instance()->thread());
  EXPECT_EQ(windows.released, 2);
}

}  // namespace
