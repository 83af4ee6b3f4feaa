#include "SafeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace tether::SafeFile {

namespace {

std::string describe(const std::filesystem::path& path, const std::string& reason) {
  return path.string() + ": " + reason;
}

bool writeAll(int fd, std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

// Opens path one component at a time, none of them followed if it is a symbolic link; -1 with
// errno set on failure (ELOOP for a link).
int openWithoutLinks(const std::filesystem::path& path, int flags) {
  std::vector<std::string> names;
  for (const auto& part : path.relative_path()) {
    if (!part.empty()) names.push_back(part.string());
  }
  if (names.empty()) {
    errno = EISDIR;
    return -1;
  }
  int dir = ::open(path.is_absolute() ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (std::size_t i = 0; dir >= 0 && i + 1 < names.size(); ++i) {
    const int next =
        ::openat(dir, names[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int error = errno;
    ::close(dir);
    dir = next;
    errno = error;
  }
  if (dir < 0) return -1;
  const int fd = ::openat(dir, names.back().c_str(), flags | O_NOFOLLOW);
  const int error = errno;
  ::close(dir);
  errno = error;
  return fd;
}

}  // namespace

Result<std::string> read(const std::filesystem::path& path, std::size_t maxBytes, Links links) {
  int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  if (links == Links::Refuse) flags |= O_NOFOLLOW;
  const int fd = links == Links::RefuseAny ? openWithoutLinks(path, flags) : ::open(path.c_str(), flags);
  if (fd < 0) {
    if (errno == ELOOP && links != Links::Follow) {
      return Result<std::string>::failure(describe(
          path, links == Links::Refuse ? "is a symbolic link" : "is or lies under a symbolic link"));
    }
    return Result<std::string>::failure(describe(path, std::strerror(errno)));
  }
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};

  struct stat st {};
  if (::fstat(fd, &st) != 0) return Result<std::string>::failure(describe(path, std::strerror(errno)));
  if (!S_ISREG(st.st_mode)) return Result<std::string>::failure(describe(path, "is not a regular file"));
  if (st.st_size < 0 || static_cast<std::size_t>(st.st_size) > maxBytes) {
    return Result<std::string>::failure(
        describe(path, "is larger than " + std::to_string(maxBytes) + " bytes"));
  }

  std::string data;
  data.resize(static_cast<std::size_t>(st.st_size));
  std::size_t have = 0;
  // Read until end of file, never beyond the bound even if the file grows meanwhile.
  for (;;) {
    if (have == data.size()) {
      if (data.size() >= maxBytes + 1) break;
      data.resize(std::min(maxBytes + 1, data.size() + 4096));
    }
    ssize_t n = ::read(fd, data.data() + have, data.size() - have);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Result<std::string>::failure(describe(path, std::strerror(errno)));
    }
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  if (have > maxBytes) {
    return Result<std::string>::failure(
        describe(path, "is larger than " + std::to_string(maxBytes) + " bytes"));
  }
  data.resize(have);
  return data;
}

namespace {

std::string temporaryPrefix(const std::filesystem::path& target) {
  return "." + target.filename().string() + ".";
}

}  // namespace

void removeStaleTemporaries(const std::filesystem::path& target) {
  std::filesystem::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  const std::string prefix = temporaryPrefix(target);
  // Error codes throughout: a folder that fails to list part way (an I/O error) only ends the
  // clean-up, never the agent.
  std::error_code ec;
  std::filesystem::directory_iterator it(folder, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    // mkstemp replaces the six X of the pattern.
    std::error_code ignored;
    if (name.size() == prefix.size() + 6 && name.starts_with(prefix) &&
        it->is_regular_file(ignored) && !it->is_symlink(ignored)) {
      std::filesystem::remove(it->path(), ignored);
    }
  }
}

bool writeAtomically(const std::filesystem::path& target, std::string_view bytes, unsigned mode,
                     std::string* failure) {
  std::filesystem::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  std::string pattern = (folder / (temporaryPrefix(target) + "XXXXXX")).string();
  const auto fail = [failure](const char* step) {
    if (failure) *failure = std::string(step) + ": " + std::strerror(errno);
    return false;
  };
  // mkstemp creates the file with O_CREAT|O_EXCL under a random name: it never follows or
  // reuses an existing entry.
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) return fail("create");
  bool ok = (::fchmod(fd, static_cast<mode_t>(mode)) == 0 || fail("chmod")) &&
            (writeAll(fd, bytes) || fail("write")) && (::fsync(fd) == 0 || fail("fsync"));
  ok = (::close(fd) == 0 || fail("close")) && ok;
  if (ok) ok = ::rename(pattern.c_str(), target.c_str()) == 0 || fail("rename");
  if (!ok) {
    const int error = errno;
    ::unlink(pattern.c_str());
    errno = error;
    return false;
  }
  const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

}  // namespace tether::SafeFile
