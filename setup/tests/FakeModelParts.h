#pragma once

#include <memory>
#include <optional>

#include "FakeInstaller.h"
#include "FakeTetherAPI.h"
#include "MemorySessionBackends.h"
#include "PairingModel.h"
#include "ScriptedWebAuth.h"

namespace tether {

// A pairing model's parts, all fakes: the service, the session store over memory stores, the
// installer and the sign-in window. The keychain, the defaults and the installer record their
// calls in one list, so the order across them shows.
struct FakeModelParts {
  static inline const QString kService = QStringLiteral("https://tether.example");

  std::shared_ptr<FakeTetherAPI> api = std::make_shared<FakeTetherAPI>();
  std::shared_ptr<MemoryKeychain> keychain = std::make_shared<MemoryKeychain>();
  std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
  std::shared_ptr<SessionStore> session = std::make_shared<SessionStore>(keychain, defaults);
  std::shared_ptr<FakeInstaller> installer = std::make_shared<FakeInstaller>();
  ScriptedWebAuth windows;
  std::shared_ptr<OAuthBrowser> webSignIn = std::make_shared<OAuthBrowser>(QUrl(kService), windows.factory());

  FakeModelParts() {
    defaults->calls = keychain->calls;
    installer->calls = keychain->calls;
  }

  PairingModel::Parts parts(std::optional<QString> computerName = QStringLiteral("Kid's Mac")) const {
    return {api, session, installer, webSignIn, kService, std::move(computerName)};
  }

  // A session kept by an earlier run; the calls list starts empty afterwards.
  void keep(const QString& token, std::optional<QString> email, std::optional<qint64> device) {
    session->setApiToken(token);
    session->setSignedInEmail(email);
    session->setSelectedDeviceID(device);
    calls().clear();
  }

  QStringList& calls() { return *keychain->calls; }

  static DeviceRecord device(qint64 id, const QString& name) {
    return {id, name, QStringLiteral("token-%1").arg(id), std::nullopt};
  }
};

}  // namespace tether
