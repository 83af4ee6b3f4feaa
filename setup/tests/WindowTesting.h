#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QTest>
#include <QWidget>

namespace tether {

// The child of view named name (a test failure when there is none).
template <class W>
W* find(const QWidget& view, const char* name) {
  W* widget = view.findChild<W*>(QString::fromLatin1(name));
  EXPECT_NE(widget, nullptr) << name;
  return widget;
}

// Saves a picture of the window into the build folder, for people to look at, once its layout
// has settled.
inline void savePicture(QWidget& window, const QString& name) {
  QDir().mkpath(TETHER_WINDOW_PICTURES);
  QTest::qWait(200);
  const QString path = QStringLiteral(TETHER_WINDOW_PICTURES) + "/" + name + ".png";
  EXPECT_TRUE(window.grab().save(path)) << path.toStdString();
}

}  // namespace tether
