// Load on a running tether-service (or a load balancer in front of several): many simulated
// devices polling their policy and uploading reports, each request on its own connection as the
// service answers one request per connection. Plain program, used by bench/service-load.sh.
//
//   service_load HOST PORT [--devices N] [--concurrency C] [--seconds S] [--large-save NAMES]
//                [--interval SECONDS] [--pids PID,PID...]
//
// Sets up its own accounts and devices first, then runs three phases and prints one JSON object:
// "polls": unchanged polls only (the agent's usual request, answered 304), C in flight as fast as
// the service answers, with the service's CPU time per request read from /proc for the given
// pids; "mixed": polls and uploads (one in five), C in flight, with a parent saving a policy of
// NAMES host names once the phase is a third through, and the other requests' latency while that
// save runs; "paced": the devices at their own pace, each polling and uploading once every
// SECONDS (the agent's default 15), requests started on schedule whatever the service's answers
// (latency counts from the scheduled start, so a service that falls behind is not hidden), with
// the same large save a third through.
#include <utility>
#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <unistd.h>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

namespace {

struct Answer {
  int status = 0;
  std::string body;
  std::string etag;
};

// One blocking request on a new connection.
Answer request(const tcp::endpoint& at, http::verb method, const std::string& target,
               const std::string& token, const std::string& body = "") {
  asio::io_context io;
  tcp::socket socket(io);
  socket.connect(at);
  http::request<http::string_body> req{method, target, 11};
  req.set(http::field::host, "127.0.0.1");
  if (!token.empty()) req.set(http::field::authorization, "Bearer " + token);
  if (!body.empty() || method != http::verb::get) {
    req.set(http::field::content_type, "application/json");
    req.body() = body;
    req.prepare_payload();
  }
  http::write(socket, req);
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(256u << 20);
  http::read(socket, buffer, parser);
  const auto& res = parser.get();
  return {static_cast<int>(res.result_int()), res.body(), std::string(res[http::field::etag])};
}

// user + system CPU seconds of the processes so far.
double cpuSeconds(const std::vector<int>& pids) {
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  double total = 0;
  for (int pid : pids) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(text.substr(close + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
    double utime = 0, stime = 0;
    fields >> utime >> stime;
    total += (utime + stime) / tick;
  }
  return total;
}

struct Sample {
  int64_t startUs;  // since the phase began
  int64_t latencyUs;
  bool ok;
};

struct Device {
  std::string token;
  std::string etag;
};

// Either C connections in flight, each taking the next device in turn until the phase ends, or
// requests started at a fixed rate (every `uploadEvery`-th an upload in both).
class Phase {
 public:
  Phase(asio::io_context& io, tcp::endpoint at, std::vector<Device>& devices, int uploadEvery,
        std::chrono::seconds length)
      : io_(io), at_(at), devices_(devices), uploadEvery_(uploadEvery), start_(Clock::now()),
        end_(start_ + length) {}

  void run(int concurrency) {
    for (int i = 0; i < concurrency; ++i) std::make_shared<Worker>(*this, true)->next();
    io_.run();
    io_.restart();
  }

  void runPaced(double perSecond) {
    asio::steady_timer timer(io_);
    const auto gap = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / perSecond));
    std::size_t launched = 0;
    std::function<void()> launch = [&] {
      const auto now = Clock::now();
      for (;;) {
        const auto due = start_ + gap * static_cast<Clock::rep>(launched);
        if (due >= end_) return;
        if (due > now) {
          timer.expires_at(due);
          timer.async_wait([&](beast::error_code) { launch(); });
          return;
        }
        ++launched;
        std::make_shared<Worker>(*this, false)->next(due);
      }
    };
    launch();
    io_.run();
    io_.restart();
  }

  Clock::time_point start() const { return start_; }
  std::vector<Sample> samples;
  std::vector<int> failedStatuses;

 private:
  struct Worker : std::enable_shared_from_this<Worker> {
    Worker(Phase& p, bool again) : phase(p), socket(p.io_), takesNext(again) {}
    Phase& phase;
    tcp::socket socket;
    beast::flat_buffer buffer;
    http::request<http::string_body> req;
    http::response<http::string_body> res;
    Clock::time_point began;
    std::size_t device = 0;
    bool takesNext;  // takes the next request when this one is answered

    // Latency counts from `due` when given (the scheduled start), else from now.
    void next(std::optional<Clock::time_point> due = {}) {
      if (Clock::now() >= phase.end_) return;
      const std::size_t n = phase.counter_++;
      device = n % phase.devices_.size();
      // Shifted by one each round through the devices, so that each device takes its turn at
      // uploading rather than always polling or always uploading.
      const std::size_t round = n / phase.devices_.size();
      const bool upload =
          phase.uploadEvery_ > 0 && (n + round) % phase.uploadEvery_ == std::size_t(phase.uploadEvery_ - 1);
      req = {};
      res = {};
      buffer.clear();
      req.version(11);
      req.set(http::field::host, "127.0.0.1");
      req.set(http::field::authorization, "Bearer " + phase.devices_[device].token);
      if (upload) {
        req.method(http::verb::post);
        req.target("/v1/usage");
        req.set(http::field::content_type, "application/json");
        req.body() = R"({"date":"2026-03-14","minutes":{"com.apple.Safari":12.5,"youtube.com":30},)"
                     R"("blockedNow":["tiktok.com"],"blockedDomainCount":3})";
        req.prepare_payload();
      } else {
        req.method(http::verb::get);
        req.target("/v1/policy");
        req.set(http::field::if_none_match, phase.devices_[device].etag);
      }
      began = due.value_or(Clock::now());
      socket = tcp::socket(phase.io_);
      socket.async_connect(phase.at_, [self = shared_from_this()](beast::error_code ec) {
        if (ec) return self->finish(0);
        http::async_write(self->socket, self->req,
                          [self](beast::error_code e, std::size_t) {
                            if (e) return self->finish(0);
                            http::async_read(self->socket, self->buffer, self->res,
                                             [self](beast::error_code r, std::size_t) {
                                               self->finish(r ? 0 : self->res.result_int());
                                             });
                          });
      });
    }

    void finish(int status) {
      const auto now = Clock::now();
      const bool ok = status == 200 || status == 304;
      if (status == 200 && req.method() == http::verb::get) {
        phase.devices_[device].etag = std::string(res[http::field::etag]);
      }
      phase.samples.push_back(
          {std::chrono::duration_cast<std::chrono::microseconds>(began - phase.start_).count(),
           std::chrono::duration_cast<std::chrono::microseconds>(now - began).count(), ok});
      if (!ok) phase.failedStatuses.push_back(status);
      beast::error_code ignored;
      socket.close(ignored);
      if (takesNext) next();
    }
  };

  asio::io_context& io_;
  tcp::endpoint at_;
  std::vector<Device>& devices_;
  int uploadEvery_;
  Clock::time_point start_, end_;
  std::size_t counter_ = 0;
};

json summary(std::vector<Sample> samples, double seconds) {
  json out;
  std::vector<int64_t> lat;
  int64_t failed = 0;
  for (const auto& s : samples) {
    lat.push_back(s.latencyUs);
    failed += s.ok ? 0 : 1;
  }
  std::sort(lat.begin(), lat.end());
  const auto at = [&](double q) {
    return lat.empty() ? 0.0 : lat[std::min(lat.size() - 1, static_cast<size_t>(q * lat.size()))] / 1000.0;
  };
  out["requests"] = samples.size();
  out["failed"] = failed;
  out["perSecond"] = seconds > 0 ? samples.size() / seconds : 0;
  out["medianMs"] = at(0.5);
  out["p99Ms"] = at(0.99);
  out["maxMs"] = lat.empty() ? 0.0 : lat.back() / 1000.0;
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: service_load HOST PORT [--devices N] [--concurrency C] [--seconds S] "
                 "[--large-save NAMES] [--interval SECONDS] [--pids PID,...]\n";
    return 2;
  }
  const tcp::endpoint at(asio::ip::make_address(argv[1]),
                         static_cast<unsigned short>(std::stoi(argv[2])));
  int devicesWanted = 10000, concurrency = 64, seconds = 15;
  double interval = 15;
  long largeNames = 0;
  std::vector<int> pids;
  for (int i = 3; i + 1 < argc; i += 2) {
    const std::string name = argv[i], value = argv[i + 1];
    if (name == "--devices") devicesWanted = std::stoi(value);
    else if (name == "--concurrency") concurrency = std::stoi(value);
    else if (name == "--seconds") seconds = std::stoi(value);
    else if (name == "--large-save") largeNames = std::stol(value);
    else if (name == "--interval") interval = std::stod(value);
    else if (name == "--pids") {
      std::stringstream list(value);
      for (std::string p; std::getline(list, p, ',');) pids.push_back(std::stoi(p));
    }
  }

  // Setup: accounts of 1000 devices each, every device with a small policy and its tag known.
  const int perAccount = 1000;
  std::vector<Device> devices;
  std::string parentToken, largeTarget;
  const std::string suffix = std::to_string(::getpid()) + "-" +
                             std::to_string(Clock::now().time_since_epoch().count());
  for (int a = 0; devices.size() < static_cast<size_t>(devicesWanted); ++a) {
    const Answer reg = request(at, http::verb::post, "/v1/register", "",
                               json{{"email", "load" + std::to_string(a) + "-" + suffix +
                                                  "@example.com"},
                                    {"password", "correct horse battery"}}
                                   .dump());
    if (reg.status != 201) {
      std::cerr << "register: " << reg.status << " " << reg.body << "\n";
      return 1;
    }
    const std::string account = json::parse(reg.body)["apiToken"];
    if (parentToken.empty()) parentToken = account;
    for (int d = 0; d < perAccount && devices.size() < static_cast<size_t>(devicesWanted); ++d) {
      const Answer made = request(at, http::verb::post, "/v1/devices", account,
                                  json{{"name", "Mac " + std::to_string(d)}}.dump());
      if (made.status != 201) {
        std::cerr << "device: " << made.status << " " << made.body << "\n";
        return 1;
      }
      const json record = json::parse(made.body);
      const std::string path = "/v1/devices/" + std::to_string(record["id"].get<int64_t>()) + "/policy";
      const Answer set = request(at, http::verb::put, path, account,
                                 R"({"domains":["tiktok.com"],"domainLimits":{"youtube.com":30}})");
      if (set.status != 200) {
        std::cerr << "policy: " << set.status << " " << set.body << "\n";
        return 1;
      }
      if (largeTarget.empty()) largeTarget = path;
      devices.push_back({record["token"], set.etag});
    }
  }

  asio::io_context io;
  json out;
  out["devices"] = devices.size();
  out["concurrency"] = concurrency;

  // Unchanged polls only.
  {
    Phase phase(io, at, devices, 0, std::chrono::seconds(seconds));
    const double cpu0 = cpuSeconds(pids);
    const auto t0 = Clock::now();
    phase.run(concurrency);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = cpuSeconds(pids) - cpu0;
    json polls = summary(phase.samples, wall);
    polls["serviceCpuMsPerRequest"] =
        phase.samples.empty() ? 0.0 : cpu * 1000.0 / phase.samples.size();
    out["polls"] = polls;
  }

  // Polls and uploads, with the large save a third of the way through: `go` runs the phase.
  int saves = 0;
  const auto withLargeSave = [&](Phase& phase, const std::function<void()>& go) {
    std::atomic<int64_t> saveStartUs{-1}, saveEndUs{-1};
    int saveStatus = 0;
    std::thread saver;
    std::string largeBody;
    if (largeNames > 0) {
      // A list that differs from the one saved before, so that every save is a change.
      const std::string tail = ".example" + std::to_string(++saves) + ".com\"";
      largeBody.reserve(static_cast<size_t>(largeNames) * 24);
      largeBody = R"({"domains":[)";
      for (long i = 0; i < largeNames; ++i) {
        if (i) largeBody += ',';
        largeBody += "\"h" + std::to_string(i) + tail;
      }
      largeBody += "]}";
      saver = std::thread([&] {
        std::this_thread::sleep_until(phase.start() + std::chrono::seconds(seconds) / 3);
        const auto began = Clock::now();
        saveStartUs = std::chrono::duration_cast<std::chrono::microseconds>(began - phase.start()).count();
        saveStatus = request(at, http::verb::put, largeTarget, parentToken, largeBody).status;
        saveEndUs = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - phase.start()).count();
      });
    }
    const double cpu0 = cpuSeconds(pids);
    const auto t0 = Clock::now();
    go();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = cpuSeconds(pids) - cpu0;
    if (saver.joinable()) saver.join();
    json result = summary(phase.samples, wall);
    result["serviceCpuMsPerRequest"] =
        phase.samples.empty() ? 0.0 : cpu * 1000.0 / phase.samples.size();
    result["failedStatuses"] = phase.failedStatuses.size() > 20
                                   ? json(std::vector<int>(phase.failedStatuses.begin(),
                                                           phase.failedStatuses.begin() + 20))
                                   : json(phase.failedStatuses);
    if (largeNames > 0) {
      std::vector<Sample> during;
      for (const auto& s : phase.samples) {
        if (s.startUs + s.latencyUs >= saveStartUs && s.startUs <= saveEndUs) during.push_back(s);
      }
      json save = summary(during, (saveEndUs - saveStartUs) / 1e6);
      save["names"] = largeNames;
      save["bodyBytes"] = largeBody.size();
      save["status"] = saveStatus;
      save["saveMs"] = (saveEndUs - saveStartUs) / 1000.0;
      result["duringLargeSave"] = save;
    }
    return result;
  };
  {
    Phase phase(io, at, devices, 5, std::chrono::seconds(seconds));
    json mixed = withLargeSave(phase, [&] { phase.run(concurrency); });
    if (mixed.contains("duringLargeSave")) {
      out["duringLargeSave"] = mixed["duringLargeSave"];
      mixed.erase("duringLargeSave");
    }
    out["mixed"] = mixed;
  }
  // Every device at its own pace: a poll and an upload per interval.
  {
    Phase phase(io, at, devices, 2, std::chrono::seconds(seconds));
    const double perSecond = 2.0 * static_cast<double>(devices.size()) / interval;
    json paced = withLargeSave(phase, [&] { phase.runPaced(perSecond); });
    paced["offeredPerSecond"] = perSecond;
    out["paced"] = paced;
  }
  std::cout << out.dump() << std::endl;
  return 0;
}
