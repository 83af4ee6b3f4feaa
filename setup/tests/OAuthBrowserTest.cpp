// The web sign-in's completion rules, over a sign-in window that the test completes itself.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <thread>

#include "AwaitTask.h"
#include "OAuthBrowser.h"
#include "PlatformError.h"
#include "ScriptedWebAuth.h"
#include "TetherAPIError.h"

using namespace tether;

namespace {

QString outcomeText(const WebAuthSession::Outcome& outcome) {
  try {
    return "code " + OAuthBrowser::codeFrom(outcome);
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  }
}

TEST(OAuthBrowser, TakesTheFirstItemNamedExactlyCode) {
  const std::pair<const char*, const char*> cases[] = {
      {"tether://oauth?code=abc", "code abc"},
      {"tether://oauth?state=x&code=first&code=second", "code first"},
      {"tether://oauth?code=", "code "},
      {"tether://oauth?code=a%2Bb%20c+d", "code a+b c+d"},
      {"tether://oauth?co%64e=decoded", "code decoded"},
      {"tether://oauth?code=a=b", "code a=b"},
      {"tether://oauth?code", "sign-in did not return a code"},
      {"tether://oauth?code&code=later", "sign-in did not return a code"},
      {"tether://oauth?Code=x&CODE=y", "sign-in did not return a code"},
      {"tether://oauth?codes=x&xcode=y", "sign-in did not return a code"},
      {"tether://oauth", "sign-in did not return a code"},
      {"tether://oauth?", "sign-in did not return a code"},
      {"tether://oauth#code=x", "sign-in did not return a code"},
  };
  for (const auto& [url, expected] : cases)
    EXPECT_EQ(outcomeText({QUrl(url), std::nullopt}), expected) << url;

  EXPECT_EQ(outcomeText({std::nullopt, std::nullopt}), "sign-in did not return a code");
  EXPECT_EQ(outcomeText({QUrl(), std::nullopt}), "sign-in did not return a code");
  // The window's error wins, unchanged, even beside a URL.
  const PlatformError cancelled(PlatformError::Kind::signInCancelled, 1, "closed by the parent");
  EXPECT_EQ(outcomeText({QUrl("tether://oauth?code=x"), cancelled}), "closed by the parent");
}

TEST(OAuthBrowser, OpensTheServicesPageForTheProvider) {
  EXPECT_EQ(OAuthBrowser::pageAddress(QUrl("https://tether.example/"), "apple"),
            QUrl("https://tether.example/oauth/apple?client=app"));
  EXPECT_EQ(OAuthBrowser::pageAddress(QUrl("http://127.0.0.1:8080"), "google"),
            QUrl("http://127.0.0.1:8080/oauth/google?client=app"));
}

template <class T>
QString resultOf(QCoro::Task<T>& task) {
  try {
    return "code " + awaitTask(std::move(task));
  } catch (const std::exception& e) {
    return QString::fromUtf8(e.what());
  }
}

TEST(OAuthBrowser, ReturnsTheCodeOnceAndReleasesTheWindow) {
  ScriptedWebAuth windows;
  OAuthBrowser browser(QUrl("https://tether.example"), windows.factory());
  auto task = browser.signIn("google");
  EXPECT_EQ(windows.pages, QStringList({"https://tether.example/oauth/google?client=app tether"}));
  EXPECT_TRUE(browser.inFlight());

  WebAuthSession::Completion done = windows.last->done;
  done({QUrl("tether://oauth?code=first"), std::nullopt});
  done({std::nullopt, PlatformError(PlatformError::Kind::signInCancelled, 1, "closed")});
  EXPECT_EQ(resultOf(task), "code first");
  EXPECT_EQ(windows.released, 1);
  EXPECT_FALSE(browser.inFlight());
  QCoreApplication::processEvents();  // the second completion arrives and is dropped
}

TEST(OAuthBrowser, PassesACancellationOnUnchanged) {
  ScriptedWebAuth windows;
  OAuthBrowser browser(QUrl("https://tether.example"), windows.factory());
  auto task = browser.signIn("apple");
  windows.last->done({std::nullopt, PlatformError(PlatformError::Kind::signInCancelled, 1, "closed by the parent")});
  try {
    awaitTask(std::move(task));
    ADD_FAILURE() << "a cancelled sign-in returned a code";
  } catch (const PlatformError& e) {
    EXPECT_EQ(e.kind(), PlatformError::Kind::signInCancelled);
    EXPECT_EQ(e.description(), "closed by the parent");
  }
  EXPECT_EQ(windows.released, 1);
  EXPECT_FALSE(browser.inFlight());
}

TEST(OAuthBrowser, ReportsAWindowThatCannotOpen) {
  ScriptedWebAuth windows;
  windows.startSucceeds = false;
  OAuthBrowser browser(QUrl("https://tether.example"), windows.factory());
  auto task = browser.signIn("google");
  EXPECT_EQ(resultOf(task), "could not open the sign-in window");
  EXPECT_EQ(windows.released, 1);
  EXPECT_FALSE(browser.inFlight());
}

TEST(OAuthBrowser, ResumesOnTheApplicationsThreadWhenTheWindowCompletesOnAnother) {
  ScriptedWebAuth windows;
  OAuthBrowser browser(QUrl("https://tether.example"), windows.factory());
  QThread* resumedOn = nullptr;
  // A coroutine lambda must outlive its coroutine: it is kept in a variable.
  auto caller = [&]() -> QCoro::Task<QString> {
    QString code = co_await browser.signIn("google");
    resumedOn = QThread::currentThread();
    co_return code;
  };
  auto task = caller();
  std::thread platform([done = windows.last->done] { done({QUrl("tether://oauth?code=threaded"), std::nullopt}); });
  platform.join();
  EXPECT_EQ(resultOf(task), "code threaded");
  EXPECT_EQ(resumedOn, QCoreApplication::instance()->thread());
}

TEST(OAuthBrowser, ASecondSignInCancelsTheFirst) {
  ScriptedWebAuth windows;
  OAuthBrowser browser(QUrl("https://tether.example"), windows.factory());
  auto first = browser.signIn("apple");
  auto second = browser.signIn("google");
  EXPECT_EQ(windows.released, 1);
  try {
    awaitTask(std::move(first));
    ADD_FAILURE() << "the replaced sign-in returned a code";
  } catch (const PlatformError& e) {
    EXPECT_EQ(e.kind(), PlatformError::Kind::signInCancelled);
  }
  windows.last->done({QUrl("tether://oauth?code=second"), std::nullopt});
  EXPECT_EQ(resultOf(second), "code second");
  EXPECT_EQ(windows.released, 2);
}

}  // namespace
