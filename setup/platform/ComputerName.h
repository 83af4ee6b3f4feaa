#pragma once

#include <QString>
#include <optional>

namespace tether {

// The computer's name as its owner sees it; nothing when the system reports none.
// macOS: the localized name of the current host. Linux: the pretty host name of systemd's
// /etc/machine-info, else the host name.
std::optional<QString> localizedComputerName();

}  // namespace tether
