#pragma once

#include <QStringList>
#include <memory>

#include "platform/WebAuthSession.h"

namespace tether {

// Sign-in windows that do nothing by themselves: a test finishes the last one opened by calling
// its done. factory() goes where WebAuthSession::create would.
struct ScriptedWebAuth {
  struct Window : WebAuthSession {
    Window(ScriptedWebAuth& windows, Completion completion) : owner(windows), done(std::move(completion)) {}
    ~Window() override { ++owner.released; }
    bool start() override { return owner.startSucceeds; }
    ScriptedWebAuth& owner;
    Completion done;
  };

  WebAuthSession::Factory factory() {
    return [this](const QUrl& page, const QString& scheme, WebAuthSession::Completion done) {
      pages << page.toString() + " " + scheme;
      auto window = std::make_unique<Window>(*this, std::move(done));
      last = window.get();
      return window;
    };
  }

  bool startSucceeds = true;
  int released = 0;        // windows destroyed
  QStringList pages;       // "page scheme" of each window opened
  Window* last = nullptr;  // the window opened last (dangling once released)
};

}  // namespace tether
