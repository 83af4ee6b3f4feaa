#include "ServiceMain.h"

#include <pthread.h>
#include <signal.h>
#include <sodium.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <optional>
#include <thread>

#include "ServiceServer.h"
#include "ServiceStore.h"

namespace tether::ServiceMain {

namespace {

void writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void log(std::string_view message) {
  writeAll(STDERR_FILENO, logLine(std::chrono::system_clock::now(), message));
}

// The --db value as the log shows it: a PostgreSQL URI without its password or parameters.
std::string shownLocation(const std::string& db) {
  if (!ServiceStore::isPostgresLocation(db)) return db;
  std::string shown = db.substr(0, db.find('?'));
  const auto scheme = shown.find("://") + 3;
  const auto at = shown.find('@', scheme);
  const auto colon = shown.find(':', scheme);
  if (at != std::string::npos && colon < at) shown.replace(colon, at - colon, ":***");
  return shown;
}

}  // namespace

std::string usage() {
  return "usage: tether-service --db PATH|URI [--listen HOST:PORT] [--tls-cert PATH --tls-key "
         "PATH]\n"
         "  --db PATH           the SQLite database; created empty when missing\n"
         "  --db URI            a PostgreSQL database (postgresql://USER@HOST:PORT/NAME?...), which\n"
         "                      several instances may share; its tables are made when missing\n"
         "  --listen HOST:PORT  the address to serve on (default 127.0.0.1:8080; port 0 picks a "
         "free one)\n"
         "  --tls-cert PATH     serve HTTPS with this certificate chain (PEM), leaf first\n"
         "  --tls-key PATH      and this private key (PEM); without both, plain HTTP\n";
}

Result<Options> parseListen(std::string_view text, Options options) {
  using R = Result<Options>;
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos)
    return R::failure("--listen needs HOST:PORT, got \"" + std::string(text) + "\"");
  std::string_view host = text.substr(0, colon);
  const std::string_view port = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  if (host.empty()) return R::failure("--listen needs a host, got \"" + std::string(text) + "\"");
  int value = -1;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value < 0 ||
      value > 65535) {
    return R::failure("--listen needs a port from 0 to 65535, got \"" + std::string(port) + "\"");
  }
  options.host = std::string(host);
  options.port = value;
  return options;
}

Result<Options> parseOptions(const std::vector<std::string>& args) {
  using R = Result<Options>;
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return options;
    }
    std::string name = arg;
    std::optional<std::string> value;
    if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    if (name != "--db" && name != "--listen" && name != "--tls-cert" && name != "--tls-key")
      return R::failure("unknown argument \"" + arg + "\"");
    if (!value) {
      if (i + 1 >= args.size()) return R::failure(name + " needs a value");
      value = args[++i];
    }
    if (name == "--db") {
      if (value->empty()) return R::failure("--db needs a path or a postgresql:// URI");
      options.db = *value;
    } else if (name == "--tls-cert" || name == "--tls-key") {
      if (value->empty()) return R::failure(name + " needs a path");
      (name == "--tls-cert" ? options.tlsCert : options.tlsKey) = *value;
    } else {
      auto parsed = parseListen(*value, options);
      if (!parsed) return parsed;
      options = *parsed;
    }
  }
  if (options.db.empty()) return R::failure("--db PATH or --db URI is required");
  if (options.tlsCert.empty() != options.tlsKey.empty())
    return R::failure("--tls-cert and --tls-key go together");
  return options;
}

std::string logLine(std::chrono::system_clock::time_point when, std::string_view message) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  std::string line = "[";
  line += stamp;
  line += "] ";
  line += message;
  line += '\n';
  return line;
}

int run(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  auto options = parseOptions(args);
  if (!options) {
    writeAll(STDERR_FILENO, "tether-service: " + options.error() + "\n" + usage());
    return 2;
  }
  if (options->help) {
    writeAll(STDOUT_FILENO, usage());
    return 0;
  }

  // The database holds password hashes and device tokens: readable by this user only.
  umask(077);
  // A client that goes away mid-answer must not end the process.
  signal(SIGPIPE, SIG_IGN);
  // A descriptor per open connection, up to the server's limit of 10 000.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  // SIGINT and SIGTERM are taken by one waiting thread; every other thread, the server's pool
  // included, inherits the blocked mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  if (sodium_init() < 0) {
    log("fatal: the system's random source is not available");
    return 1;
  }
  auto store = ServiceStore::open(options->db);
  if (!store) {
    log("fatal: " + store.error());
    return 1;
  }
  ServiceServer::Settings settings;
  settings.log = log;
  // A worker waits for PostgreSQL's answer (and its commit) over the network; more of them keep
  // the database busy. The pool holds a connection for each.
  if (ServiceStore::isPostgresLocation(options->db)) settings.limits.workers = 16;
  ServiceServer server(**store, settings);
  if (!options->tlsCert.empty()) {
    if (auto tls = server.useTls(options->tlsCert, options->tlsKey); !tls) {
      log("fatal: " + tls.error());
      return 1;
    }
  }
  auto port = server.bind(options->host, options->port);
  if (!port) {
    log("fatal: " + port.error());
    return 1;
  }
  const bool v6 = options->host.find(':') != std::string::npos;
  const std::string address =
      (v6 ? "[" + options->host + "]" : options->host) + ":" + std::to_string(*port);
  log("listening on " + address + (options->tlsCert.empty() ? "" : " (HTTPS)") +
      " with database " + shownLocation(options->db));

  std::atomic<bool> finished{false};
  std::thread waiter([&] {
    const timespec tick{0, 200 * 1000 * 1000};
    while (!finished) {
      const int sig = sigtimedwait(&stopSignals, nullptr, &tick);
      if (sig > 0) {
        log("stopping on signal " + std::to_string(sig));
        server.stop();
        return;
      }
    }
  });
  // The line goes out before serving starts; connections made meanwhile wait in the backlog.
  writeAll(STDOUT_FILENO, "listening on " + address + "\n");
  const bool ok = server.serve();
  finished = true;
  waiter.join();
  log(ok ? "stopped" : "fatal: serving stopped unexpectedly");
  return ok ? 0 : 1;
}

}  // namespace tether::ServiceMain
