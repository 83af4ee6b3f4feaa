// The pairing model over fakes of the service, the session store's platform stores, the
// installer and the sign-in window: its state table, its texts, its orders, and that a session
// survives a service it cannot reach.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QSignalSpy>

#include "AwaitTask.h"
#include "FakeModelParts.h"
#include "PlatformError.h"
#include "QtPrinting.h"
#include "TetherAPIError.h"

namespace tether {
namespace {

using ::testing::ElementsAre;

const QString kService = FakeModelParts::kService;

struct Rig : FakeModelParts {
  std::unique_ptr<PairingModel> model(
      std::optional<QString> computerName = QStringLiteral("Kid's Mac")) {
    auto made = std::make_unique<PairingModel>(parts(std::move(computerName)));
    calls().clear();
    return made;
  }
};

DeviceRecord device(qint64 id, const QString& name) {
  return FakeModelParts::device(id, name);
}

TEST(PairingModel, StartsWithItsDefaultsThenTheKeptSession) {
  Rig rig;
  rig.installer->loaded = true;
  rig.keep("kept-token", QString("parent@example.com"), 5);
  auto model = std::make_unique<PairingModel>(rig.parts());
  // The loaded check comes before the session store is read.
  ASSERT_GE(rig.calls().size(), 2);
  EXPECT_EQ(rig.calls()[0], "isLoaded");
  EXPECT_EQ(rig.calls()[1], "copyMatching apiToken");
  EXPECT_EQ(model->deviceName(), "Kid's Mac");
  EXPECT_TRUE(model->daemonLoaded());
  EXPECT_EQ(model->apiToken(), QString("kept-token"));
  EXPECT_EQ(model->signedInEmail(), "parent@example.com");
  EXPECT_EQ(model->selectedDeviceID(), 5);
  EXPECT_TRUE(rig.api->calls.isEmpty());
  for (const std::optional<QString>& none :
       {std::optional<QString>(), std::optional<QString>("")}) {
    Rig other;
    EXPECT_EQ(other.model(none)->deviceName(), "Mac");
  }
}

TEST(PairingModel, RestoreFetchesTheDevicesAndKeepsAChoiceWhoseRecordIsGone) {
  Rig rig;
  auto nothingKept = rig.model();
  awaitTask(nothingKept->restoreIfNeeded());
  EXPECT_TRUE(rig.api->calls.isEmpty());
  EXPECT_EQ(nothingKept->status(), "");

  // A token without an e-mail restores to "Signed in as " and nothing after it.
  rig.api->devices = {device(1, "Old Mac"), device(2, "New Mac")};
  rig.keep("kept-token", std::nullopt, 9);
  auto model = rig.model();
  awaitTask(model->restoreIfNeeded());
  EXPECT_THAT(rig.api->calls, ElementsAre("listDevices kept-token"));
  EXPECT_EQ(model->status(), "Signed in as ");
  EXPECT_EQ(model->devices(), rig.api->devices);
  EXPECT_EQ(model->selectedDeviceID(), 9);
  EXPECT_FALSE(model->busy());
  EXPECT_FALSE(model->restoring());
}

TEST(PairingModel, RestoreEndsTheSessionOnlyWhenTheServiceRefusesTheToken) {
  struct Case {
    const char* what;
    std::exception_ptr failure;
    QString error;
    bool expired;
  };
  const Case cases[] = {
      {"refused token", std::make_exception_ptr(TetherAPIError("unknown token", 401)),
       PairingModel::kSessionExpired, true},
      {"offline",
       std::make_exception_ptr(
           PlatformError(PlatformError::Kind::network, 1, "Connection refused")),
       "Connection refused", false},
      {"failing service", std::make_exception_ptr(TetherAPIError("HTTP 502", 502)), "HTTP 502",
       false},
      {"forbidden", std::make_exception_ptr(TetherAPIError("forbidden", 403)), "forbidden", false},
      {"bad answer", std::make_exception_ptr(TetherAPIError("unexpected response from server")),
       "unexpected response from server", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig;
    rig.keep("kept-token", QString("parent@example.com"), 3);
    rig.api->fail("listDevices", c.failure);
    auto model = rig.model();
    QSignalSpy restoring(model.get(), &PairingModel::restoringChanged);
    awaitTask(model->restoreIfNeeded());
    EXPECT_EQ(model->error(), c.error);
    EXPECT_EQ(model->status(), "");
    EXPECT_EQ(restoring.count(), 2);
    EXPECT_FALSE(model->restoring());
    EXPECT_EQ(model->signedIn(), !c.expired);
    const QStringList stored = rig.calls();
    EXPECT_EQ(rig.session->apiToken().has_value(), !c.expired);
    if (c.expired) {
      EXPECT_EQ(model->signedInEmail(), "");
      EXPECT_EQ(model->selectedDeviceID(), std::nullopt);
      EXPECT_THAT(stored, ElementsAre("remove signedInEmail", "deleteItems apiToken",
                                      "remove selectedDeviceID"));
    } else {
      EXPECT_EQ(model->signedInEmail(), "parent@example.com");
      EXPECT_EQ(model->selectedDeviceID(), 3);
      EXPECT_EQ(rig.session->selectedDeviceID(), 3);
      EXPECT_EQ(rig.session->signedInEmail(), QString("parent@example.com"));
      EXPECT_TRUE(stored.isEmpty());
    }
  }
}

TEST(PairingModel, SignInTrimsTheAddressKeepsTheServicesAndStoresTheSession) {
  Rig rig;
  rig.api->serviceEmail = "Parent@Example.com";
  rig.api->devices = {device(1, "Old Mac"), device(2, "New Mac")};
  auto model = rig.model();
  model->setEmail("  parent@example.com\n");
  model->setPassword(" secret ");
  auto gate = std::make_shared<Gate>();
  rig.api->hold("login", gate);
  auto signingIn = model->submitAccount();
  // Signed out, busy.
  EXPECT_TRUE(model->busy());
  EXPECT_FALSE(model->signedIn());
  gate->open();
  awaitTask(std::move(signingIn));

  EXPECT_THAT(rig.api->calls,
              ElementsAre("login parent@example.com  secret ", "listDevices account-token"));
  EXPECT_EQ(model->email(), "  parent@example.com\n");  // the field keeps what was typed
  EXPECT_EQ(model->signedInEmail(), "Parent@Example.com");
  EXPECT_EQ(model->status(), "Signed in as Parent@Example.com");
  EXPECT_EQ(model->error(), "");
  EXPECT_FALSE(model->busy());
  // No choice yet: the last record of the list.
  EXPECT_EQ(model->selectedDeviceID(), 2);
  EXPECT_THAT(rig.calls(), ElementsAre("set signedInEmail", "deleteItems apiToken", "add apiToken",
                                       "remove selectedDeviceID", "set selectedDeviceID"));
  EXPECT_EQ(rig.session->apiToken(), QString("account-token"));
  EXPECT_EQ(rig.session->selectedDeviceID(), 2);

  // "Create account" registers instead.
  Rig other;
  auto registering = other.model();
  registering->setMode(PairingModel::Mode::registerAccount);
  registering->setEmail("new@example.com");
  awaitTask(registering->submitAccount());
  EXPECT_THAT(other.api->calls,
              ElementsAre("registerAccount new@example.com ", "listDevices account-token"));
  EXPECT_EQ(registering->selectedDeviceID(), std::nullopt);  // an empty list chooses nothing
  EXPECT_EQ(registering->status(), "Signed in as new@example.com");
}

TEST(PairingModel, FailuresLeaveTheStateTheTableSays) {
  // Refused before the token: signed out, the typed fields kept.
  Rig refused;
  refused.api->fail("login", TetherAPIError("incorrect e-mail address or password", 401));
  auto model = refused.model();
  model->setEmail("parent@example.com");
  model->setPassword("wrong");
  awaitTask(model->signIn());
  EXPECT_FALSE(model->signedIn());
  EXPECT_FALSE(model->busy());
  EXPECT_EQ(model->error(), "incorrect e-mail address or password");
  EXPECT_EQ(model->email(), "parent@example.com");
  EXPECT_EQ(model->password(), "wrong");
  EXPECT_TRUE(refused.calls().isEmpty());

  // The token taken, the device list not: signed in, with the error; the session stays stored.
  Rig half;
  half.api->fail("listDevices",
                 PlatformError(PlatformError::Kind::network, 99, "Network unreachable"));
  auto halfModel = half.model();
  awaitTask(halfModel->signIn());
  EXPECT_TRUE(halfModel->signedIn());
  EXPECT_EQ(halfModel->error(), "Network unreachable");
  EXPECT_EQ(halfModel->status(), "");
  EXPECT_EQ(half.session->apiToken(), QString("account-token"));

  // A second operation starts with the error cleared.
  half.api->fail("listDevices", nullptr);
  awaitTask(halfModel->pairAndInstall());
  EXPECT_EQ(halfModel->error(), "");
  EXPECT_EQ(halfModel->status(), PairingModel::kInstalledAndLoaded);
}

TEST(PairingModel, WebSignInTradesTheCodeOrShowsTheWindowsError) {
  Rig rig;
  auto model = rig.model();
  auto signingIn = model->oauth("google");
  EXPECT_TRUE(model->busy());
  ASSERT_EQ(rig.windows.pages.size(), 1);
  EXPECT_EQ(rig.windows.pages[0], kService + "/oauth/google?client=app tether");
  rig.windows.last->done({QUrl("tether://done?code=one-time"), std::nullopt});
  awaitTask(std::move(signingIn));
  EXPECT_THAT(rig.api->calls,
              ElementsAre("exchangeOAuthCode one-time", "listDevices account-token"));
  EXPECT_EQ(model->status(), "Signed in as oauth@example.com");

  Rig cancelled;
  auto other = cancelled.model();
  auto closing = other->oauth("apple");
  cancelled.windows.last->done({std::nullopt, PlatformError(PlatformError::Kind::signInCancelled, 1,
                                                            "The user canceled the sign-in.")});
  awaitTask(std::move(closing));
  EXPECT_FALSE(other->signedIn());
  EXPECT_FALSE(other->busy());
  EXPECT_EQ(other->error(), "The user canceled the sign-in.");
  EXPECT_TRUE(cancelled.api->calls.isEmpty());
}

TEST(PairingModel, InstallReusesTheChosenRecordAndSaysWhatTheLoadedCheckFound) {
  for (const bool loads : {true, false}) {
    Rig rig;
    rig.api->devices = {device(1, "Old Mac"), device(2, "Kid's Mac")};
    rig.keep("kept-token", QString("parent@example.com"), 1);
    rig.installer->loadsOnInstall = loads;
    auto model = rig.model();
    awaitTask(model->restoreIfNeeded());
    model->setEnableDNS(false);
    rig.api->calls.clear();
    for (int round = 0; round < 2; ++round) {
      awaitTask(model->pairAndInstall());
      EXPECT_EQ(model->status(),
                loads ? PairingModel::kInstalledAndLoaded : PairingModel::kInstalledNotLoaded);
      EXPECT_EQ(model->daemonLoaded(), loads);
    }
    // The chosen record's token, twice, and no record created.
    EXPECT_TRUE(rig.api->calls.isEmpty());
    EXPECT_THAT(rig.calls(), ElementsAre("install " + kService + " token-1 no-dns", "isLoaded",
                                         "openTabHelper", "install " + kService + " token-1 no-dns",
                                         "isLoaded", "openTabHelper"));
  }
}

TEST(PairingModel, InstallCreatesARecordWhenNoneIsChosenOrTheChosenOneIsGone) {
  for (const std::optional<qint64> kept : {std::optional<qint64>(), std::optional<qint64>(42)}) {
    Rig rig;
    rig.api->devices = {device(1, "Old Mac")};
    rig.keep("kept-token", QString("parent@example.com"), kept);
    auto model = rig.model();
    awaitTask(model->restoreIfNeeded());
    if (!kept) model->chooseDevice(std::nullopt);  // the parent picked "New device"
    model->setDeviceName("  Kid's Mac\t");
    rig.api->calls.clear();
    rig.calls().clear();
    awaitTask(model->pairAndInstall());
    EXPECT_THAT(rig.api->calls, ElementsAre("createDevice Kid's Mac kept-token"));
    ASSERT_EQ(model->devices().size(), 2);
    EXPECT_EQ(model->devices().last().name, "Kid's Mac");
    EXPECT_EQ(model->selectedDeviceID(), 100);
    EXPECT_EQ(rig.session->selectedDeviceID(), 100);
    EXPECT_EQ(rig.calls().first(), "set selectedDeviceID");
    EXPECT_EQ(rig.calls()[1], "install " + kService + " device-token-100 dns");
  }
}

TEST(PairingModel, AFailedInstallKeepsTheNewRecordChosenForTheRetry) {
  Rig rig;
  rig.keep("kept-token", QString("parent@example.com"), std::nullopt);
  rig.installer->installError = "install failed";
  auto model = rig.model();
  awaitTask(model->restoreIfNeeded());
  rig.calls().clear();
  awaitTask(model->pairAndInstall());
  EXPECT_EQ(model->error(), "install failed");
  EXPECT_EQ(model->status(), "");
  EXPECT_FALSE(model->busy());
  // Not checked again after a failed install.
  EXPECT_EQ(rig.calls().filter("isLoaded").size(), 0);
  EXPECT_EQ(model->selectedDeviceID(), 100);

  rig.installer->installError.reset();
  rig.api->calls.clear();
  awaitTask(model->pairAndInstall());
  EXPECT_TRUE(rig.api->calls.isEmpty());
  EXPECT_EQ(rig.calls().filter("install ").last(), "install " + kService + " device-token-100 dns");
  EXPECT_EQ(model->status(), PairingModel::kInstalledAndLoaded);

  // Signed out with no record chosen: nothing to install for.
  Rig signedOut;
  auto outModel = signedOut.model();
  awaitTask(outModel->pairAndInstall());
  EXPECT_EQ(outModel->error(), "sign in first");
  EXPECT_TRUE(signedOut.calls().isEmpty());
}

TEST(PairingModel, InstallAfterAnOfflineStartLooksTheKeptChoiceUpFirst) {
  Rig rig;
  rig.api->devices = {device(1, "Sibling's Mac"), device(2, "Kid's Mac"), device(3, "Newest Mac")};
  rig.keep("kept-token", QString("parent@example.com"), 2);
  rig.api->fail("listDevices", PlatformError(PlatformError::Kind::network, 1, "Host unreachable"));
  auto model = rig.model();
  awaitTask(model->restoreIfNeeded());
  EXPECT_EQ(model->error(), "Host unreachable");

  // Back online: the kept record, not a new one and not the newest.
  rig.api->fail("listDevices", nullptr);
  rig.api->calls.clear();
  awaitTask(model->pairAndInstall());
  EXPECT_THAT(rig.api->calls, ElementsAre("listDevices kept-token"));
  EXPECT_EQ(rig.calls().filter("install ").value(0), "install " + kService + " token-2 dns");
  EXPECT_EQ(model->error(), "");
}

TEST(PairingModel, AnOperationThatResumesAfterTheModelIsGoneEndsQuietly) {
  for (const char* operation : {"login", "listDevices"}) {
    SCOPED_TRACE(operation);
    Rig rig;
    auto gate = std::make_shared<Gate>();
    rig.api->hold(operation, gate);
    auto model = rig.model();
    auto running = model->signIn();
    model.reset();
    gate->open();
    awaitTask(std::move(running));
    // The answer was not written anywhere after the model went.
    EXPECT_EQ(rig.session->apiToken().has_value(), QString(operation) == "listDevices");
  }
  Rig restoring;
  restoring.keep("kept-token", std::nullopt, std::nullopt);
  auto gate = std::make_shared<Gate>();
  restoring.api->hold("listDevices", gate);
  restoring.api->fail("listDevices", TetherAPIError("gone", 401));
  auto model = restoring.model();
  auto running = model->restoreIfNeeded();
  model.reset();
  gate->open();
  awaitTask(std::move(running));
  EXPECT_EQ(restoring.session->apiToken(), QString("kept-token"));
}

}  // namespace
}  // namespace tether
