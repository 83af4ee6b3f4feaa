// The real program on an X server (Xvfb): its window comes up titled "Tether" at its default
// size, and a screenshot of the whole screen goes to the build folder.
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QTest>
#include <string>

#include "TestHelpers.h"

// Last: Xlib defines macros (None, Status, Bool) that Qt's and GoogleTest's headers use as names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace tether {
namespace {

// The mapped top-level window named name, or 0.
Window findWindow(Display* display, const char* name) {
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  Window found = 0;
  if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) return 0;
  for (unsigned i = 0; i < count && !found; ++i) {
    char* title = nullptr;
    XWindowAttributes attributes{};
    if (XFetchName(display, children[i], &title) && title && std::string(title) == name &&
        XGetWindowAttributes(display, children[i], &attributes) &&
        attributes.map_state == IsViewable) {
      found = children[i];
    }
    if (title) XFree(title);
  }
  if (children) XFree(children);
  return found;
}

// The whole screen (Xvfb's 24-bit depth is 32 bits a pixel, as QImage's RGB32).
QImage screenshot(Display* display) {
  XWindowAttributes root{};
  XGetWindowAttributes(display, DefaultRootWindow(display), &root);
  XImage* image = XGetImage(display, DefaultRootWindow(display), 0, 0, root.width, root.height,
                            AllPlanes, ZPixmap);
  if (!image) return {};
  const QImage picture = QImage(reinterpret_cast<const uchar*>(image->data), root.width,
                                root.height, image->bytes_per_line, QImage::Format_RGB32)
                             .copy();
  XDestroyImage(image);
  return picture;
}

TEST(TetherProgram, OpensItsWindowOnAnXServer) {
  if (::access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "Xvfb is not installed";
  std::string displayNumber;
  const auto xvfb = test::startServer(
      {"/usr/bin/Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "640x720x24"},
      displayNumber);
  if (!xvfb) GTEST_SKIP() << "Xvfb could not be started";
  const std::string display = ":" + displayNumber;
  std::string bus;
  const auto dbus = test::startServer(
      {"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"}, bus);
  if (!dbus) GTEST_SKIP() << "dbus-daemon could not be started";
  test::TempDir home;

  // A home and a session of its own: its user defaults land there, and no keychain answers.
  test::ChildProcess tether(
      {"/usr/bin/env", "-u", "QT_QPA_PLATFORM", "DISPLAY=" + display,
       "HOME=" + home.path().string(), "XDG_RUNTIME_DIR=" + home.path().string(),
       "DBUS_SESSION_BUS_ADDRESS=" + bus, std::string(TETHER_APP_DIR) + "/Contents/MacOS/Tether"});
  Display* x = XOpenDisplay(display.c_str());
  ASSERT_NE(x, nullptr);
  Window window = 0;
  EXPECT_TRUE(QTest::qWaitFor([&] { return (window = findWindow(x, "Tether")) != 0; }, 60000))
      << tether.stderrText();
  if (window) {
    QTest::qWait(1500);  // painted
    XWindowAttributes attributes{};
    XGetWindowAttributes(x, window, &attributes);
    EXPECT_GE(attributes.width, 480);
    EXPECT_GE(attributes.height, 620);
    QDir().mkpath(TETHER_WINDOW_PICTURES);
    EXPECT_TRUE(screenshot(x).save(QStringLiteral(TETHER_WINDOW_PICTURES "/xvfb-tether.png")));
  }
  XCloseDisplay(x);
  tether.signal(SIGTERM);
  EXPECT_TRUE(tether.wait(std::chrono::seconds(20)).has_value());
}

}  // namespace
}  // namespace tether
