// The pairing model over fakes of its parts: its state table, its texts, its orders, and that a
// session survives a service it cannot reach.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QSignalSpy>

#include "PlatformError.h"
#include "SetupTestSupport.h"

namespace tether {
namespace {

using ::testing::ElementsAre;
using Rig = FakeModelParts;
const QString kKept = QStringLiteral("parent@example.com");

PlatformError offline(const char* text) {
  return PlatformError(PlatformError::Kind::network, 1, text);
}

TEST(PairingModel, StartsWithTheKeptSessionAndRestoresIt) {
  Rig rig;
  rig.installer->loaded = true;
  rig.keep(std::nullopt, 9, {"Old Mac", "New Mac"});
  auto model = std::make_unique<PairingModel>(rig.parts());
  // The loaded check comes before the session store is read; nothing asks the service yet.
  EXPECT_THAT(rig.calls().mid(0, 2), ElementsAre("isLoaded", "copyMatching apiToken"));
  EXPECT_TRUE(rig.api->calls.isEmpty());
  EXPECT_TRUE(model->daemonLoaded());
  for (const std::optional<QString>& none : {std::optional<QString>(), std::optional<QString>("")})
    EXPECT_EQ(Rig().model(none)->deviceName(), "Mac");

  // A token without an e-mail restores to "Signed in as " and nothing after it; a choice whose
  // record is gone stays.
  awaitTask(model->restoreIfNeeded());
  EXPECT_THAT(rig.api->calls, ElementsAre("listDevices kept-token"));
  EXPECT_EQ(model->status(), "Signed in as ");
  EXPECT_EQ(model->devices(), rig.api->devices);
  EXPECT_EQ(model->selectedDeviceID(), 9);
  Rig nothingKept;
  awaitTask(nothingKept.model()->restoreIfNeeded());
  EXPECT_TRUE(nothingKept.api->calls.isEmpty());
}

TEST(PairingModel, RestoreEndsTheSessionOnlyWhenTheServiceRefusesTheToken) {
  const std::pair<std::exception_ptr, QString> cases[] = {
      {std::make_exception_ptr(TetherAPIError("unknown token", 401)),
       PairingModel::kSessionExpired},
      {std::make_exception_ptr(offline("Connection refused")), "Connection refused"},
      {std::make_exception_ptr(TetherAPIError("forbidden", 403)), "forbidden"},
      {std::make_exception_ptr(TetherAPIError("unexpected response")), "unexpected response"},
  };
  for (const auto& [failure, error] : cases) {
    SCOPED_TRACE(error.toStdString());
    const bool expired = error == PairingModel::kSessionExpired;
    Rig rig;
    rig.keep(kKept, 3);
    rig.api->fail("listDevices", failure);
    auto model = rig.model();
    QSignalSpy restoring(model.get(), &PairingModel::restoringChanged);
    awaitTask(model->restoreIfNeeded());
    EXPECT_EQ(model->error(), error);
    EXPECT_EQ(model->status(), "");
    EXPECT_EQ(restoring.count(), 2);
    EXPECT_EQ(model->signedIn(), !expired);
    const QStringList forgotten{"remove signedInEmail", "deleteItems apiToken",
                                "remove selectedDeviceID"};
    EXPECT_EQ(rig.calls(), expired ? forgotten : QStringList());
    EXPECT_EQ(model->signedInEmail(), expired ? "" : kKept);
    EXPECT_EQ(model->selectedDeviceID(), expired ? std::nullopt : std::optional<qint64>(3));
  }
}

TEST(PairingModel, EachWayOfSigningInKeepsTheServicesAccountAndStoresTheSession) {
  Rig rig;
  rig.api->serviceEmail = "Parent@Example.com";
  rig.api->devices = {Rig::device(1, "Old Mac"), Rig::device(2, "New Mac")};
  auto model = rig.model();
  model->setEmail("  parent@example.com\n");
  model->setPassword(" secret ");
  awaitTask(model->submitAccount());
  EXPECT_THAT(rig.api->calls,
              ElementsAre("login parent@example.com  secret ", "listDevices account-token"));
  EXPECT_EQ(model->email(), "  parent@example.com\n");  // the field keeps what was typed
  EXPECT_EQ(model->status(), "Signed in as Parent@Example.com");
  EXPECT_EQ(model->selectedDeviceID(), 2);  // no choice yet: the last record of the list
  EXPECT_THAT(rig.calls(), ElementsAre("set signedInEmail", "deleteItems apiToken", "add apiToken",
                                       "remove selectedDeviceID", "set selectedDeviceID"));

  // The web sign-in trades the code its window returns.
  Rig web;
  auto webModel = web.model();
  auto webSigningIn = webModel->oauth("google");
  EXPECT_TRUE(webModel->busy());
  web.windows.last->done({QUrl("tether://done?code=one-time"), std::nullopt});
  awaitTask(std::move(webSigningIn));
  EXPECT_THAT(web.api->calls,
              ElementsAre("exchangeOAuthCode one-time", "listDevices account-token"));
  EXPECT_EQ(webModel->status(), "Signed in as oauth@example.com");
}

TEST(PairingModel, FailuresLeaveTheStateTheTableSays) {
  // Refused before the token: signed out, the typed fields kept, nothing stored.
  Rig refused;
  refused.api->fail("login", TetherAPIError("incorrect e-mail address or password", 401));
  auto model = refused.model();
  model->setPassword("wrong");
  awaitTask(model->signIn());
  EXPECT_FALSE(model->signedIn() || model->busy());
  EXPECT_EQ(model->error(), "incorrect e-mail address or password");
  EXPECT_EQ(model->password(), "wrong");
  EXPECT_TRUE(refused.calls().isEmpty());

  // The token taken, the device list not: signed in, with the error; the session stays stored.
  Rig half;
  half.api->fail("listDevices", offline("Network unreachable"));
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

  // The sign-in window closed: its error, nothing asked of the service.
  Rig cancelled;
  auto closed = cancelled.model();
  auto closing = closed->oauth("apple");
  cancelled.windows.last->done(
      {std::nullopt, PlatformError(PlatformError::Kind::signInCancelled, 1, "canceled")});
  awaitTask(std::move(closing));
  EXPECT_FALSE(closed->signedIn() || closed->busy());
  EXPECT_EQ(closed->error(), "canceled");
  EXPECT_TRUE(cancelled.api->calls.isEmpty());

  // Signed out with no record chosen: nothing to install for.
  Rig signedOut;
  auto outModel = signedOut.model();
  awaitTask(outModel->pairAndInstall());
  EXPECT_EQ(outModel->error(), "sign in first");
  EXPECT_TRUE(signedOut.calls().isEmpty());
}

TEST(PairingModel, InstallUsesTheChosenRecordOrMakesOneAndSaysWhatTheLoadedCheckFound) {
  const QString created = "createDevice Kid's Mac kept-token";
  const struct {
    const char* what;
    std::optional<qint64> kept;
    bool offlineStart;  // the restore could not reach the service
    bool pickNew;       // the parent picked "New device"
    bool failsFirst;    // the first of the two installs fails
    bool loads;
    QStringList asked;  // of the service, by both installs
    QString token;      // installed with, twice
  } cases[] = {
      {"kept record, not loaded", 1, false, false, false, false, {}, "token-1"},
      // Back online: the kept record, not a new one and not the newest.
      {"kept, offline start", 2, true, false, false, true, {"listDevices kept-token"}, "token-2"},
      {"kept record gone", 42, false, false, false, true, {created}, "device-token-100"},
      {"new device picked", 1, false, true, false, true, {created}, "device-token-100"},
      // The new record stays chosen for the retry.
      {"failed install", 42, false, false, true, true, {created}, "device-token-100"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig;
    rig.keep(kKept, c.kept, {"Old Mac", "Kid's Mac", "Newest Mac"});
    rig.installer->loadsOnInstall = c.loads;
    if (c.offlineStart) rig.api->fail("listDevices", offline("Host unreachable"));
    auto model = rig.model();
    awaitTask(model->restoreIfNeeded());
    rig.api->fail("listDevices", nullptr);
    if (c.pickNew) model->chooseDevice(std::nullopt);
    model->setDeviceName("  Kid's Mac\t");
    rig.api->calls.clear();
    rig.calls().clear();
    QStringList expected;
    if (c.token.startsWith("device-")) expected << "set selectedDeviceID";  // before the install
    for (int round = 0; round < 2; ++round) {
      const bool failed = c.failsFirst && round == 0;
      if (failed) rig.installer->installError = "install failed";
      awaitTask(model->pairAndInstall());
      rig.installer->installError.reset();
      EXPECT_EQ(model->error(), failed ? "install failed" : "");
      EXPECT_EQ(model->status(), failed    ? ""
                                 : c.loads ? PairingModel::kInstalledAndLoaded
                                           : PairingModel::kInstalledNotLoaded);
      EXPECT_EQ(model->daemonLoaded(), c.loads && !failed);
      EXPECT_FALSE(model->busy());
      // The loaded check and the tab helper follow a successful install only.
      expected << "install " + Rig::kService + " " + c.token + " dns";
      if (!failed)
        expected << "isLoaded"
                 << "openTabHelper";
    }
    EXPECT_EQ(rig.api->calls, c.asked);
    EXPECT_EQ(rig.calls(), expected);
    if (c.token.startsWith("device-")) {
      EXPECT_EQ(model->devices().last().name, "Kid's Mac");
      EXPECT_EQ(rig.session->selectedDeviceID(), 100);
    }
  }
}

TEST(PairingModel, AnOperationThatResumesAfterTheModelIsGoneEndsQuietly) {
  for (const QString operation : {"login", "listDevices", "restore"}) {
    SCOPED_TRACE(operation.toStdString());
    const bool restore = operation == "restore";
    Rig rig;
    if (restore) {
      rig.keep(std::nullopt, std::nullopt);
      rig.api->fail("listDevices", TetherAPIError("gone", 401));
    }
    auto gate = rig.api->hold(restore ? "listDevices" : operation);
    auto model = rig.model();
    auto running = restore ? model->restoreIfNeeded() : model->signIn();
    model.reset();
    gate->open();
    awaitTask(std::move(running));
    // Nothing was written after the model went: a token only when it came before.
    EXPECT_EQ(rig.session->apiToken(),
              operation == "login"
                  ? std::nullopt
                  : std::optional<QString>(restore ? "kept-token" : "account-token"));
  }
}

}  // namespace
}  // namespace tether
