// The service's connections: slow, idle and half-sent requests cost the others nothing, and each
// kind is cut off at its limit.
#include <gmock/gmock.h>

#include "RawClient.h"
#include "ServiceFixture.h"

namespace tether::test {
namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::StartsWith;

using ServiceConnections = ServiceFixture;

// With the service's own limits: 300 connections sending a request one byte a second and 300
// sending nothing, while a device polls and uploads. (How fast those answers come is measured
// by bench/service_slow_clients.)
TEST_F(ServiceConnections, SlowAndIdleClientsDoNotKeepOthersWaiting) {
  const std::string account = tokenFor("ann@example.com");
  const std::string device = createDevice(account, "Study Mac")["token"];
  SlowClients slow(port_, 300, 300);
  for (int i = 0; i < 100 && slow.open() < 600; ++i) std::this_thread::sleep_for(50ms);
  ASSERT_EQ(slow.open(), 600u);
  const std::string report = R"({"date":"2026-03-14","minutes":{"com.a":1.5}})";
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(get("/v1/policy", device).status, 200);
    EXPECT_EQ(send("POST", "/v1/usage", report, device).status, 200);
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(slow.closedByService(), 0u);  // none reached a limit yet
}

class ServiceConnectionLimits : public ServiceFixture {
 protected:
  ServiceConnectionLimits() {
    limits_.idle = 1500ms;
    limits_.head = 1000ms;
    limits_.minRate = 1000;
    limits_.maxConnections = 8;
    limits_.linger = 500ms;
  }

  // What the service wrote before it closed the connection; fails when it did not close it.
  static std::string answerTo(RawConnection& c, std::chrono::milliseconds within = 5s) {
    bool closed = false;
    std::string text = c.readAll(within, &closed);
    EXPECT_TRUE(closed) << "still open after " << within.count() << " ms: " << text;
    return text;
  }
};

TEST_F(ServiceConnectionLimits, SlowHeadersBodiesAndSilenceAreCutOffAtTheirLimits) {
  // Headers that keep coming a byte at a time, a body announced and never sent, a body sent below
  // the minimum rate (500 bytes a second), and a connection that says nothing.
  const std::string head = "GET /v1/devices HTTP/1.1\r\nHost: x\r\nX-Padding: ";
  const std::string post =
      "POST /v1/register HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n";
  RawConnection trickle(port_), silentBody(port_), slowBody(port_), idle(port_);
  silentBody.send(post + "Content-Length: 100\r\n\r\n{");
  slowBody.send(post + "Content-Length: 60000\r\n\r\n");
  RawConnection* all[] = {&trickle, &silentBody, &slowBody, &idle};
  std::string answers[4];
  bool closed[4] = {};
  for (std::size_t tick = 0; tick < 50 && !(closed[0] && closed[1] && closed[2] && closed[3]);
       ++tick) {
    trickle.send(tick < head.size() ? head.substr(tick, 1) : "x");
    slowBody.send(std::string(50, ' '));
    std::this_thread::sleep_for(100ms);
    for (int i = 0; i < 4; ++i) {
      if (!closed[i]) answers[i] += all[i]->readAll(0ms, &closed[i]);
    }
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(closed[i]) << i;
    EXPECT_THAT(answers[i], StartsWith("HTTP/1.1 408 Request Timeout\r\n")) << i;
    EXPECT_THAT(answers[i], HasSubstr("\r\n\r\n{\"detail\":\"request timed out\"}")) << i;
  }
  EXPECT_TRUE(closed[3]);
  EXPECT_EQ(answers[3], "");
  EXPECT_EQ(get("/v1/devices").status, 401);
}

TEST_F(ServiceConnectionLimits, ConnectionsBeyondTheLimitAreClosedAtOnce) {
  std::vector<std::unique_ptr<RawConnection>> held;
  for (std::size_t i = 0; i < limits_.maxConnections; ++i) {
    held.push_back(std::make_unique<RawConnection>(port_));
  }
  std::this_thread::sleep_for(200ms);  // all accepted
  RawConnection refused(port_);
  refused.send("GET /v1/devices HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(answerTo(refused, 1s), "");
  held.pop_back();
  std::this_thread::sleep_for(200ms);  // its end noticed
  EXPECT_EQ(get("/v1/devices").status, 401);
}

}  // namespace
}  // namespace tether::test
