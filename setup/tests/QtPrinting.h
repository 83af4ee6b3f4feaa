#pragma once

#include <QString>
#include <ostream>

// GoogleTest shows a QString (and so a QStringList) as its text, not as its bytes.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}
