// The Linux desktop against real parts: an X server (Xvfb) with a window of a process inside an
// application bundle, a private D-Bus daemon serving made-up logind and screen saver objects,
// and the alerts drawn and saved as pictures in the build folder.
#include "platform/linux/LinuxDesktop.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "AppDelegate.h"
#include "TestHelpers.h"

// Last: Xlib's macros (Bool, Status, None...) would break Qt's headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <systemd/sd-bus.h>

namespace tether {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(LinuxDesktop, FrontApplicationAndIdleTimeFromTheXServer) {
  std::string number;
  const auto xvfb = test::startServer(
      {"/usr/bin/Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "320x240x24"},
      number);
  if (!xvfb) GTEST_SKIP() << "Xvfb could not be started";
  const std::string display = ":" + number;

  test::TempDir dir;
  const fs::path exe = fs::canonical(
      test::makeAppBundle(dir / "Browser.app", test::infoPlist("org.example.browser"), "browser"));
  test::ChildProcess app({exe.string(), "60"});
  const fs::path procExe = "/proc/" + std::to_string(app.pid()) + "/exe";
  for (int i = 0; i < 1000 && fs::read_symlink(procExe) != exe; ++i)
    std::this_thread::sleep_for(5ms);

  // The test plays the window manager: it names the active window on the root window.
  Display* x = XOpenDisplay(display.c_str());
  ASSERT_TRUE(x);
  const Window root = DefaultRootWindow(x);
  const auto setCardinal = [&](Window w, const char* name, Atom type, unsigned long value) {
    XChangeProperty(x, w, XInternAtom(x, name, False), type, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&value), 1);
    XSync(x, False);
  };
  const auto window = [&](pid_t pid) {
    const Window w = XCreateSimpleWindow(x, root, 0, 0, 10, 10, 0, 0, 0);
    setCardinal(w, "_NET_WM_PID", XA_CARDINAL, static_cast<unsigned long>(pid));
    return w;
  };

  LinuxDesktop desktop({.display = display});
  EXPECT_EQ(desktop.frontmostBundleId(), "");  // no window manager has named a window yet
  const Window browser = window(app.pid()), tool = window(::getpid());
  setCardinal(root, "_NET_ACTIVE_WINDOW", XA_WINDOW, browser);
  EXPECT_EQ(desktop.frontmostBundleId(), "org.example.browser");
  setCardinal(root, "_NET_ACTIVE_WINDOW", XA_WINDOW, tool);
  EXPECT_EQ(desktop.frontmostBundleId(), "");  // not inside an application bundle
  XDestroyWindow(x, tool);
  XSync(x, False);
  EXPECT_EQ(desktop.frontmostBundleId(), "");  // the active window is gone

  const double idle = desktop.secondsSinceLastInput();
  std::this_thread::sleep_for(300ms);
  EXPECT_GE(desktop.secondsSinceLastInput(), idle + 0.25);
  XCloseDisplay(x);

  EXPECT_EQ(LinuxDesktop({.display = ":65000"}).frontmostBundleId(), std::nullopt);
}

// Made-up logind session and screen saver objects on a bus, served from a thread of their own.
class FakeLockServices {
 public:
  FakeLockServices(const std::string& address, std::optional<bool> lockedHint,
                   std::optional<bool> screenSaverActive)
      : lockedHint_(lockedHint.value_or(false)), active_(screenSaverActive.value_or(false)) {
    sd_bus_new(&bus_);
    sd_bus_set_address(bus_, address.c_str());
    sd_bus_set_bus_client(bus_, 1);
    EXPECT_GE(sd_bus_start(bus_), 0);
    if (lockedHint) {
      sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1/session/auto",
                               "org.freedesktop.login1.Session", kSession, &lockedHint_);
      EXPECT_GE(sd_bus_request_name(bus_, "org.freedesktop.login1", 0), 0);
    }
    if (screenSaverActive) {
      sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/ScreenSaver",
                               "org.freedesktop.ScreenSaver", kScreenSaver, &active_);
      EXPECT_GE(sd_bus_request_name(bus_, "org.freedesktop.ScreenSaver", 0), 0);
    }
    thread_ = std::thread([this] {
      while (!stop_)
        if (sd_bus_process(bus_, nullptr) <= 0) sd_bus_wait(bus_, 20'000);
    });
  }
  ~FakeLockServices() {
    stop_ = true;
    thread_.join();
    sd_bus_flush_close_unref(bus_);
  }

 private:
  static int boolProperty(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                          void* value, sd_bus_error*) {
    return sd_bus_message_append(reply, "b", static_cast<int>(*static_cast<bool*>(value)));
  }
  static int getActive(sd_bus_message* call, void* value, sd_bus_error*) {
    return sd_bus_reply_method_return(call, "b", static_cast<int>(*static_cast<bool*>(value)));
  }
  static constexpr sd_bus_vtable kSession[] = {
      SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("LockedHint", "b", boolProperty, 0, 0),
      SD_BUS_VTABLE_END};
  static constexpr sd_bus_vtable kScreenSaver[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("GetActive", "", "b", getActive, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END};

  bool lockedHint_, active_;
  sd_bus* bus_ = nullptr;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

TEST(LinuxDesktop, LockedFromLogindElseFromTheScreenSaver) {
  std::string address;
  const auto daemon = test::startServer(
      {"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"},
      address);
  if (!daemon) GTEST_SKIP() << "dbus-daemon could not be started";
  const struct {
    std::optional<bool> lockedHint, screenSaverActive;
    bool locked;
  } cases[] = {{std::nullopt, std::nullopt, false},
               {std::nullopt, true, true},
               {true, std::nullopt, true},
               {false, true, false}};  // logind's answer stands
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.lockedHint.has_value() << c.screenSaverActive.has_value());
    const FakeLockServices services(address, c.lockedHint, c.screenSaverActive);
    LinuxDesktop desktop({.display = ":65000", .systemBus = address, .sessionBus = address});
    EXPECT_EQ(desktop.isScreenLocked(), c.locked);
  }
}

TEST(LinuxDesktop, PermissionAlertsShowTheirTexts) {
  const QString folder = qEnvironmentVariable("TETHER_TEST_BINARY_DIR") + "/tabhelper/alerts";
  QDir().mkpath(folder);
  const std::pair<const char*, AppDelegate::Alert> alerts[] = {
      {"allow-safari-control", AppDelegate::kAllowSafariAlert},
      {"macos-did-not-ask", AppDelegate::kNotAskedAlert}};
  for (const auto& [name, alert] : alerts) {
    const auto box = LinuxDesktop::makeAlert(alert.message, alert.informativeText, alert.button);
    EXPECT_EQ(box->text().toStdString(), alert.message);
    EXPECT_EQ(box->informativeText().toStdString(), alert.informativeText);
    ASSERT_EQ(box->buttons().size(), 1);
    EXPECT_EQ(box->buttons()[0]->text().toStdString(), alert.button);
    box->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(box.get()));
    EXPECT_TRUE(box->grab().save(folder + "/" + name + ".png")) << folder.toStdString();
    box->screen()->grabWindow(0).save(folder + "/" + name + "-screen.png");
  }
  // Shown modally: the call returns once the button is pressed.
  QTimer clicker;
  QObject::connect(&clicker, &QTimer::timeout, [] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
      box->buttons()[0]->click();
  });
  clicker.start(10);
  LinuxDesktop({.display = ":65000"}).showAlert("m", "i", "OK");
}

}  // namespace
}  // namespace tether
