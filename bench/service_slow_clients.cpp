// The service under slow clients: the latency of a device's ordinary requests (a policy poll and
// a usage upload, alternately, each on a new connection) first on a quiet service, then while 300
// connections send a request one byte a second and 300 send nothing (those the service closes are
// replaced at once). Runs the tether-service program given on the command line, so that two
// builds can be compared in one run. Not a test; bench/service-figures.sh runs it.
//
// Usage: service_slow_clients --service PATH [--seconds 60] [--rate 20] [--trickling 300]
//                             [--idle 300] [--timeout-ms 5000]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "RawClient.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tether::test::RawConnection;
using tether::test::SlowClients;

struct Options {
  std::string service;
  int seconds = 60;
  int rate = 20;
  int trickling = 300;
  int idle = 300;
  int timeoutMs = 5000;
};

struct Answer {
  int status = 0;  // 0: none within the time-out
  std::string body;
};

Answer call(int port, const std::string& method, const std::string& path, const std::string& token,
            const std::string& body, std::chrono::milliseconds timeout) {
  RawConnection c(port);
  std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  if (!token.empty()) request += "Authorization: Bearer " + token + "\r\n";
  if (!body.empty() || method != "GET") {
    request +=
        "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  request += "Connection: close\r\n\r\n" + body;
  if (!c.send(request)) return {};
  bool closed = false;
  const std::string text = c.readAll(timeout, &closed);
  if (!closed || !text.starts_with("HTTP/1.")) return {};
  const auto space = text.find(' ');
  const auto bodyStart = text.find("\r\n\r\n");
  return {std::atoi(text.c_str() + space + 1),
          bodyStart == std::string::npos ? std::string() : text.substr(bodyStart + 4)};
}

struct Figures {
  std::vector<double> ms;
  int failed = 0;
};

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p / 100 * v.size()))];
}

// The device's requests at the given rate for the given time.
Figures measure(int port, const std::string& device, const Options& o, int seconds) {
  Figures f;
  const std::string report = R"({"date":"2026-03-14","minutes":{"com.example.game":12.5}})";
  const auto period = std::chrono::microseconds(1'000'000 / o.rate);
  auto next = Clock::now();
  const auto end = next + std::chrono::seconds(seconds);
  for (int i = 0; Clock::now() < end; ++i) {
    std::this_thread::sleep_until(next);
    next += period;
    const auto start = Clock::now();
    const Answer a = i % 2 == 0 ? call(port, "GET", "/v1/policy", device, "",
                                       std::chrono::milliseconds(o.timeoutMs))
                                : call(port, "POST", "/v1/usage", device, report,
                                       std::chrono::milliseconds(o.timeoutMs));
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (a.status == 200) {
      f.ms.push_back(ms);
    } else {
      ++f.failed;
    }
  }
  return f;
}

void print(const char* label, const Figures& f) {
  std::printf("%-34s %6zu answered %5d failed   p50 %8.2f ms   p99 %8.2f ms   max %8.2f ms\n",
              label, f.ms.size(), f.failed, percentile(f.ms, 50), percentile(f.ms, 99),
              f.ms.empty() ? 0.0 : *std::max_element(f.ms.begin(), f.ms.end()));
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--service")
      o.service = value;
    else if (key == "--seconds")
      o.seconds = std::stoi(value);
    else if (key == "--rate")
      o.rate = std::stoi(value);
    else if (key == "--trickling")
      o.trickling = std::stoi(value);
    else if (key == "--idle")
      o.idle = std::stoi(value);
    else if (key == "--timeout-ms")
      o.timeoutMs = std::stoi(value);
  }
  if (o.service.empty()) {
    std::fprintf(stderr, "usage: service_slow_clients --service PATH [--seconds N] [--rate N]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  char pattern[] = "/tmp/tether-slow-clients-XXXXXX";
  const std::filesystem::path dir = mkdtemp(pattern);
  int out[2];
  if (pipe(out) != 0) return 1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    const int err = ::open((dir / "service.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, STDERR_FILENO);
    execl(o.service.c_str(), o.service.c_str(), "--db", (dir / "service.db").c_str(), "--listen",
          "127.0.0.1:0", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string line;
  char ch;
  while (read(out[0], &ch, 1) == 1 && ch != '\n') line += ch;
  const int port = line.starts_with("listening on 127.0.0.1:") ? std::stoi(line.substr(23)) : 0;
  int status = 1;
  if (port > 0) {
    const auto timeout = std::chrono::milliseconds(o.timeoutMs);
    const Answer registered =
        call(port, "POST", "/v1/register", "",
             R"({"email":"bench@example.com","password":"bench password"})", 10s);
    const std::string account =
        nlohmann::json::parse(registered.body, nullptr, false).value("apiToken", "");
    const Answer device =
        call(port, "POST", "/v1/devices", account, R"({"name":"Bench Mac"})", timeout);
    const std::string token = nlohmann::json::parse(device.body, nullptr, false).value("token", "");
    call(port, "PUT", "/v1/devices/1/policy", account, R"({"domains":["example.com"]})", timeout);

    std::printf("service %s, %d requests a second, time-out %d ms\n", o.service.c_str(), o.rate,
                o.timeoutMs);
    const Figures quiet = measure(port, token, o, std::max(5, o.seconds / 4));
    print("quiet", quiet);
    {
      SlowClients slow(port, o.trickling, o.idle);
      std::this_thread::sleep_for(2s);  // all connected
      const Figures loaded = measure(port, token, o, o.seconds);
      char label[64];
      std::snprintf(label, sizeof label, "%d trickling + %d idle", o.trickling, o.idle);
      print(label, loaded);
      std::printf("slow connections closed by the service (and replaced): %zu\n",
                  slow.closedByService());
      if (!loaded.ms.empty() && !quiet.ms.empty()) {
        std::printf("p99 loaded / quiet: %.2f\n",
                    percentile(loaded.ms, 99) / percentile(quiet.ms, 99));
      }
    }
    status = 0;
  } else {
    std::fprintf(stderr, "the service did not start (see %s)\n", (dir / "service.log").c_str());
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  std::filesystem::remove_all(dir);
  return status;
}
