#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "Result.h"

namespace tether {

// The tether-service program:
//   tether-service --db PATH|URI [--listen HOST:PORT] [--tls-cert PATH --tls-key PATH]
//
// It opens (or creates) the database (a SQLite file, or PostgreSQL for a postgresql:// URI), listens, writes "listening on HOST:PORT" as one line on
// standard output once the socket listens (with port 0 the port is the one the system chose),
// logs one line per request on standard error, and stops cleanly on SIGINT or SIGTERM.
namespace ServiceMain {

struct Options {
  std::string db;
  std::string host = "127.0.0.1";
  int port = 8080;
  // HTTPS with these PEM files when both are given.
  std::string tlsCert;
  std::string tlsKey;
  bool help = false;
};

// The arguments after the program name. Each option may be written "--db PATH" or "--db=PATH".
Result<Options> parseOptions(const std::vector<std::string>& args);

// "127.0.0.1:8080", "localhost:0", "[::1]:8080".
Result<Options> parseListen(std::string_view text, Options options);

std::string usage();

// "[" + UTC time + "] " + message + "\n"
std::string logLine(std::chrono::system_clock::time_point when, std::string_view message);

// The whole program; returns the exit status: 0 after a signal, 1 when the service cannot
// start, 2 for a bad command line.
int run(int argc, char** argv);

}  // namespace ServiceMain
}  // namespace tether
