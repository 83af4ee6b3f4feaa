// The agent's HTTP session against a real server on 127.0.0.1: limits, reuse, interruption.
#include "HttpClient.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>

#include "LoopbackServer.h"
#include "WakeSignal.h"

namespace tether {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;

HttpRequest get(const std::string& url) {
  HttpRequest request;
  request.url = url;
  return request;
}

TEST(HttpClient, AnyStatusIsAnAnswerRedirectsAreFollowedAndTheConnectionIsReused) {
  std::mutex mutex;
  std::set<int> clientPorts;
  test::LoopbackServer server([&](const httplib::Request& req, httplib::Response& res) {
    {
      std::lock_guard lock(mutex);
      clientPorts.insert(req.remote_port);
    }
    if (req.path == "/old") return res.set_redirect("/new", 302);
    if (req.path == "/new") return res.set_content("moved here", "text/plain");
    res.status = 404;
    res.set_content("{\"detail\":\"no such thing\"}", "application/json");
  });
  WakeSignal stop;
  HttpClient client(stop.fd());

  auto missing = client.send(get(server.url() + "/nothing"));
  ASSERT_TRUE(missing) << missing.error();
  EXPECT_EQ(missing->status, 404);
  EXPECT_EQ(missing->body, "{\"detail\":\"no such thing\"}");

  auto moved = client.send(get(server.url() + "/old"));
  ASSERT_TRUE(moved) << moved.error();
  EXPECT_EQ(moved->status, 200);
  EXPECT_EQ(moved->body, "moved here");
  // Three requests, one connection.
  EXPECT_EQ(clientPorts.size(), 1u);
}

TEST(HttpClient, BodyOverTheBoundFailsWithOrWithoutALength) {
  test::LoopbackServer server([](const httplib::Request& req, httplib::Response& res) {
    const std::size_t size = req.path == "/fits" ? 1000 : 1001;
    if (req.path == "/chunked") {
      res.set_chunked_content_provider(
          "text/plain", [](std::size_t offset, httplib::DataSink& sink) {
            if (offset >= 1001) {
              sink.done();
              return true;
            }
            const std::string piece(std::min<std::size_t>(300, 1001 - offset), 'x');
            return sink.write(piece.data(), piece.size());
          });
      return;
    }
    res.set_content(std::string(size, 'x'), "text/plain");
  });
  WakeSignal stop;
  HttpClient client(stop.fd(), HttpClient::Limits{.maxBodyBytes = 1000});
  auto fits = client.send(get(server.url() + "/fits"));
  ASSERT_TRUE(fits) << fits.error();
  EXPECT_EQ(fits->body.size(), 1000u);
  for (const char* path : {"/long", "/chunked"}) {
    auto over = client.send(get(server.url() + path));
    ASSERT_FALSE(over) << path;
    EXPECT_EQ(over.error(), "response body larger than 1000 bytes");
  }
  EXPECT_EQ(HttpClient::Limits{}.maxBodyBytes, 64u * 1024 * 1024);
}

TEST(HttpClient, SilentServerFailsAtTheIdleLimitAndSlowTrickleAtTheRequestLimit) {
  test::LoopbackServer* self = nullptr;
  test::LoopbackServer server([&](const httplib::Request& req, httplib::Response& res) {
    if (req.path == "/silent") {
      self->hold();
      return;
    }
    res.set_chunked_content_provider("text/plain", [](std::size_t, httplib::DataSink& sink) {
      std::this_thread::sleep_for(100ms);
      return sink.write("x", 1);
    });
  });
  self = &server;
  WakeSignal stop;
  HttpClient client(stop.fd(), HttpClient::Limits{.idleTimeout = 1s});
  auto silent = client.send(get(server.url() + "/silent"));
  ASSERT_FALSE(silent);
  EXPECT_THAT(silent.error(), HasSubstr("too slow"));

  auto request = get(server.url() + "/trickle");
  request.timeout = 1s;
  auto trickle = client.send(request);
  ASSERT_FALSE(trickle);
  EXPECT_THAT(trickle.error(), HasSubstr("timed out"));
}

TEST(HttpClient, StopRequestAbandonsTheRequestInFlightAndEveryLaterOne) {
  std::atomic<int> requests = 0;
  test::LoopbackServer* self = nullptr;
  test::LoopbackServer server([&](const httplib::Request&, httplib::Response& res) {
    ++requests;
    self->hold();
    res.set_content("late", "text/plain");
  });
  self = &server;
  WakeSignal stop;
  HttpClient client(stop.fd());
  std::thread stopper([&] {
    server.waitUntilHeld();
    stop.raise();
  });
  const auto started = std::chrono::steady_clock::now();
  auto result = client.send(get(server.url() + "/held"));
  const auto took = std::chrono::steady_clock::now() - started;
  stopper.join();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), HttpClient::kInterrupted);
  // The server holds the request for 30 seconds; only the stop can have ended it.
  EXPECT_LT(took, 10s);

  auto later = client.send(get(server.url() + "/again"));
  EXPECT_EQ(later.error(), HttpClient::kInterrupted);
  EXPECT_EQ(requests, 1);
}

// Runs check in a child process in a network namespace of its own, where even the loopback
// interface is down: connecting anywhere fails with "Network is unreachable", as on a machine
// with no network at all. The child's exit status is check's result, 77 without a namespace.
int inMachineWithoutNetwork(const std::function<int()>& check) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::unshare(CLONE_NEWNET) != 0) ::_exit(77);
    ::_exit(check());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void bringLoopbackUp() {
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  ::ioctl(s, SIOCGIFFLAGS, &request);
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  ::ioctl(s, SIOCSIFFLAGS, &request);
  ::close(s);
}

TEST(HttpClient, WithoutAnyNetworkARequestWaitsForItUntilItsLimitOrAStop) {
  const int status = inMachineWithoutNetwork([] {
    WakeSignal stop;
    HttpClient brief(stop.fd(), HttpClient::Limits{.connectivityWait = 2s});
    auto failed = brief.send(get("http://127.0.0.1:8080/v1/policy"));
    if (failed || failed.error().find("Network is unreachable") == std::string::npos) return 1;
    HttpClient waiting(stop.fd(), HttpClient::Limits{.connectivityWait = 60s});
    std::thread stopper([&] {
      std::this_thread::sleep_for(500ms);
      stop.raise();
    });
    auto stopped = waiting.send(get("http://127.0.0.1:8080/v1/policy"));
    stopper.join();
    if (stopped || stopped.error() != HttpClient::kInterrupted) return 2;

    // The network comes back while a request waits for it.
    WakeSignal running;
    HttpClient client(running.fd(), HttpClient::Limits{.connectivityWait = 20s});
    httplib::Server server;
    server.Get("/v1/policy", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("{\"rev\":1}", "application/json");
    });
    std::thread network([&] {
      std::this_thread::sleep_for(700ms);
      bringLoopbackUp();
      server.listen("127.0.0.1", 8080);
    });
    auto response = client.send(get("http://127.0.0.1:8080/v1/policy"));
    server.stop();
    network.join();
    if (!response) std::fprintf(stderr, "%s\n", response.error().c_str());
    return response && response->body == "{\"rev\":1}" ? 0 : 3;
  });
  if (status == 77) GTEST_SKIP() << "no network namespace (needs root)";
  EXPECT_EQ(status, 0);
}

TEST(HttpClient, OnlyHttpIsSpokenAndUrlsNeedASchemeAndAHost) {
  WakeSignal stop;
  HttpClient client(stop.fd());
  EXPECT_FALSE(client.send(get("file:///etc/hostname")));
  EXPECT_TRUE(HttpClient::parsesAsURL("http://127.0.0.1:8080//v1/policy"));
  EXPECT_TRUE(HttpClient::parsesAsURL("https://service.example/v1/usage"));
  for (const char* bad : {"", "/v1/policy", "http:///v1/policy", "not a url/v1/policy",
                          "127.0.0.1:8080 /v1", "http://exa mple.com/v1"}) {
    EXPECT_FALSE(HttpClient::parsesAsURL(bad)) << bad;
  }
}

}  // namespace
}  // namespace tether
