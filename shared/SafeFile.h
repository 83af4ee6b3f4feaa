#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "Result.h"

namespace tether {

// File access for a process that may run as root in folders other users can write.
namespace SafeFile {

// Which symbolic links a read follows: all of them, none as the last component, or none at all
// (in a folder another user can write, any component may be a link planted to send the reader
// elsewhere).
enum class Links { Follow, Refuse, RefuseAny };

// Reads a whole regular file of at most maxBytes. Anything else (a folder, a FIFO, a device, a
// file larger than the bound, and a symbolic link that `links` refuses) is refused without
// reading it. The error text names the path and the reason.
Result<std::string> read(const std::filesystem::path& path, std::size_t maxBytes,
                         Links links = Links::Follow);

// Replaces target with bytes atomically and durably: a unique temporary file created
// exclusively in the target's folder (never a fixed name), written, flushed to disk, renamed
// over the target, and the folder flushed. On failure the previous file is left intact, the
// temporary file is removed, the reason goes to *failure when given, and false is returned.
bool writeAtomically(const std::filesystem::path& target, std::string_view bytes,
                     unsigned mode = 0644, std::string* failure = nullptr);

// Removes temporary files that writeAtomically left next to target when its process was killed
// mid-write. Only for a single writer that is not writing at the moment.
void removeStaleTemporaries(const std::filesystem::path& target);

}  // namespace SafeFile
}  // namespace tether
