#pragma once

#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

#include "ProtectionInstaller.h"
#include "TetherAPIError.h"

namespace tether {

// An installer that records what it is asked ("isLoaded", "install URL TOKEN DNS",
// "openTabHelper") and answers as the test sets it. Give calls a list shared with other fakes
// to see the order across them.
class FakeInstaller final : public ProtectionInstaller {
 public:
  void install(const QString& serverURL, const QString& deviceToken, bool enableDNS) override {
    *calls << QStringList{"install", serverURL, deviceToken, enableDNS ? "dns" : "no-dns"}.join(
        u' ');
    if (duringInstall) duringInstall();
    if (installError) throw TetherAPIError(*installError);
    if (loadsOnInstall) loaded = true;
  }
  bool isLoaded() override {
    *calls << "isLoaded";
    return loaded;
  }
  void openTabHelper() override { *calls << "openTabHelper"; }

  bool loaded = false;
  bool loadsOnInstall = true;
  std::optional<QString> installError;
  std::function<void()> duringInstall;  // runs inside install, while the model is busy
  std::shared_ptr<QStringList> calls = std::make_shared<QStringList>();
};

}  // namespace tether
