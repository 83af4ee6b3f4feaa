#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>

namespace tether {

// A tool run only for its exit status.
namespace QuietProcess {

// Runs program with arguments, its standard output and error sent to the null device (a pipe
// nobody reads could fill up and stall the tool, and the caller with it). Blocks until the tool
// ends. The exit status; nothing when the tool could not start, crashed, or was still running
// after timeout (it is then killed).
std::optional<int> exitStatus(const QString& program, const QStringList& arguments,
                              std::chrono::milliseconds timeout);

}  // namespace QuietProcess
}  // namespace tether
