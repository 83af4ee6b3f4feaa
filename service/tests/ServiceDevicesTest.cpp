#include "ServiceFixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tether::test {
namespace {

class ServiceDevices : public ServiceFixture {
 protected:
  // Sends request text as it is and answers what comes back before the server closes.
  std::string rawExchange(const std::string& request) const {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval wait{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string answer;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
      char buf[4096];
      for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
        answer.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answer;
  }
};

json report(const std::string& date, double minutes, const json& apps = json::array()) {
  return {{"date", date},
          {"minutes", {{"com.apple.Safari", minutes}}},
          {"apps", apps},
          {"blockedNow", {}},
          {"timeZone", "Europe/Berlin"},
          {"usageEpoch", 0}};
}

TEST_F(ServiceDevices, DevicesAreListedInCreationOrderAndOnlyToTheirAccount) {
  const std::string ann = tokenFor("ann@example.com");
  const std::string bob = tokenFor("bob@example.com");
  const json first = createDevice(ann, "Study Mac");
  createDevice(bob, "Bob's Mac");
  const json second = createDevice(ann, "  Laptop  ");
  EXPECT_EQ(second["name"], "Laptop");
  EXPECT_TRUE(second["lastSeen"].is_null());
  EXPECT_NE(first["token"], second["token"]);

  const Reply list = get("/v1/devices", ann);
  ASSERT_EQ(list.status, 200);
  ASSERT_EQ(list.body.size(), 2u);
  EXPECT_EQ(list.body[0], first);
  EXPECT_EQ(list.body[1], second);
  EXPECT_EQ(get("/v1/devices", bob).body.size(), 1u);
  EXPECT_EQ(get("/v1/devices", tokenFor("cy@example.com")).body, json::array());

  EXPECT_EQ(post("/v1/devices", {{"name", " "}}, ann).body["detail"], "a device name is required");
  EXPECT_EQ(post("/v1/devices", {{"name", std::string(101, 'x')}}, ann).status, 400);
}

TEST_F(ServiceDevices, AnotherAccountsDeviceIsNotFound) {
  const std::string ann = tokenFor("ann@example.com");
  const std::string bob = tokenFor("bob@example.com");
  const std::string id = std::to_string(createDevice(ann, "Study Mac")["id"].get<int64_t>());
  for (const std::string& path : std::vector<std::string>{
           "/v1/devices/" + id + "/policy", "/v1/devices/" + id + "/usage",
           "/v1/devices/" + id + "/apps", "/v1/devices/999/policy", "/v1/devices/abc/policy"}) {
    const Reply r = get(path, bob);
    EXPECT_EQ(r.status, 404) << path;
    EXPECT_EQ(r.body["detail"], "device not found") << path;
  }
  EXPECT_EQ(send("PUT", "/v1/devices/" + id + "/policy", R"({"domains":["x.com"]})", bob).status,
            404);
  EXPECT_EQ(post("/v1/devices/" + id + "/usage/reset", json::object(), bob).status, 404);
  EXPECT_EQ(get("/v1/devices/" + id + "/policy", ann).body["rev"], 0);
}

TEST_F(ServiceDevices, PolicyChangesRaiseRevResetsRaiseUsageEpochAndPollsMarkTheDeviceSeen) {
  const std::string ann = tokenFor("ann@example.com");
  const json device = createDevice(ann, "Study Mac");
  const std::string id = std::to_string(device["id"].get<int64_t>());
  const std::string deviceToken = device["token"];

  const Reply empty = get("/v1/policy", deviceToken);
  ASSERT_EQ(empty.status, 200);
  EXPECT_EQ(empty.body, json::parse(R"({"rev":0,"usageEpoch":0,"apps":{},"domains":[],
      "domainLimits":{},"domainAllow":[],"domainExact":[]})"));
  EXPECT_TRUE(get("/v1/devices", ann).body[0]["lastSeen"].is_string());

  const std::string policy = R"({"rev":77,"apps":{"com.valvesoftware.steam":{"dailyLimitMinutes":60,
      "windows":[{"days":[1,2,3,4,5],"start":"21:00","end":"07:00"}]}},
      "domains":["tiktok.com"],"domainLimits":{"youtube.com":30}})";
  const Reply set = send("PUT", "/v1/devices/" + id + "/policy", policy, ann);
  ASSERT_EQ(set.status, 200) << set.text;
  EXPECT_EQ(set.body["rev"], 1);  // the service owns rev: 77 is ignored
  EXPECT_EQ(set.body["apps"]["com.valvesoftware.steam"]["windows"][0]["mode"], "block");
  EXPECT_EQ(send("PUT", "/v1/devices/" + id + "/policy", set.text, ann).body["rev"], 2);

  // Sent as curl -X POST sends it: no body and no Content-Length.
  const std::string head = rawExchange("POST /v1/devices/" + id +
                                       "/usage/reset HTTP/1.1\r\nHost: x\r\n"
                                       "Authorization: Bearer " +
                                       ann + "\r\n\r\n");
  EXPECT_TRUE(head.starts_with("HTTP/1.1 200 OK")) << head;
  const Reply reset = get("/v1/devices/" + id + "/policy", ann);
  EXPECT_EQ(reset.body["rev"], 2);
  EXPECT_EQ(reset.body["usageEpoch"], 1);

  const Reply polled = get("/v1/policy", deviceToken);
  EXPECT_EQ(polled.body["rev"], 2);
  EXPECT_EQ(polled.body["usageEpoch"], 1);
  EXPECT_EQ(polled.body["domainLimits"], json({{"youtube.com", 30}}));
  EXPECT_EQ(polled.body, get("/v1/devices/" + id + "/policy", ann).body);
  // A base URL written with a trailing slash makes the agent ask for //v1/policy.
  EXPECT_EQ(get("//v1/policy", deviceToken).body, polled.body);

  const Reply refused =
      send("PUT", "/v1/devices/" + id + "/policy", R"({"domains":["YouTube.com"]})", ann);
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(refused.body["detail"],
            "key \"domains[0]\": host name \"YouTube.com\" must be written in lower case");
  EXPECT_EQ(get("/v1/policy", deviceToken).body["rev"], 2);
}

TEST_F(ServiceDevices, ALaterReportForADateSupersedesTheEarlierAndReportsComeOldestFirst) {
  const std::string ann = tokenFor("ann@example.com");
  const json device = createDevice(ann, "Study Mac");
  const std::string id = std::to_string(device["id"].get<int64_t>());
  const std::string deviceToken = device["token"];
  const json inventory = {{{"name", "Safari"}, {"bundleId", "com.apple.Safari"}}};

  EXPECT_EQ(post("/v1/usage", report("2026-03-08", 5, inventory), deviceToken).status, 200);
  EXPECT_EQ(post("//v1/usage", report("2026-03-07", 40), deviceToken).status, 200);
  EXPECT_EQ(post("/v1/usage", report("2026-03-08", 12.5), deviceToken).status, 200);

  const Reply reports = get("/v1/devices/" + id + "/usage", ann);
  ASSERT_EQ(reports.status, 200);
  ASSERT_EQ(reports.body.size(), 2u);
  EXPECT_EQ(reports.body[0]["date"], "2026-03-07");
  EXPECT_EQ(reports.body[1]["date"], "2026-03-08");
  EXPECT_EQ(reports.body[1]["minutes"]["com.apple.Safari"], 12.5);
  EXPECT_EQ(reports.body[1]["timeZone"], "Europe/Berlin");
  EXPECT_TRUE(reports.body[1]["receivedAt"].is_string());
  // A report without inventory leaves the last inventory in place.
  EXPECT_EQ(get("/v1/devices/" + id + "/apps", ann).body["apps"], inventory);

  EXPECT_EQ(post("/v1/usage", report("2026-02-30", 1), deviceToken).body["detail"],
            "key \"date\": \"2026-02-30\" is not a date of the form yyyy-MM-dd");
  EXPECT_EQ(post("/v1/usage", report("2026-03-09", -1), deviceToken).status, 400);
  EXPECT_EQ(post("/v1/usage", report("2026-03-09", 1), ann).status, 401);
  EXPECT_EQ(get("/v1/devices/" + id + "/usage", ann).body.size(), 2u);
}

TEST_F(ServiceDevices, ConcurrentRequestsAreAllServed) {
  const std::string ann = tokenFor("ann@example.com");
  std::vector<std::thread> threads;
  std::atomic<int> created{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        const Reply r = post("/v1/devices", {{"name", "Mac " + std::to_string(t * 10 + i)}}, ann);
        if (r.status == 201) ++created;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(created, 40);
  const Reply list = get("/v1/devices", ann);
  ASSERT_EQ(list.body.size(), 40u);
  for (std::size_t i = 1; i < list.body.size(); ++i)
    EXPECT_LT(list.body[i - 1]["id"], list.body[i]["id"]);
}

TEST_F(ServiceDevices, PolicyEndpointTakesLargePoliciesWhileOtherBodiesStaySmall) {
  const std::string ann = tokenFor("ann@example.com");
  const json device = createDevice(ann, "Study Mac");
  const std::string id = std::to_string(device["id"].get<int64_t>());
  json policy = {{"domains", json::array()}};
  for (int i = 0; i < 20000; ++i)
    policy["domains"].push_back("host-" + std::to_string(i) + ".example.com");
  const std::string body = policy.dump();
  ASSERT_GT(body.size(), ServiceServer::kSmallBodyLimit);

  EXPECT_EQ(send("PUT", "/v1/devices/" + id + "/policy", body, ann).status, 200);
  const Reply polled = get("/v1/policy", device["token"]);
  ASSERT_EQ(polled.body["domains"].size(), 20000u);
  EXPECT_EQ(polled.body["domains"][19999], "host-19999.example.com");
  EXPECT_EQ(send("POST", "/v1/devices", body, ann).status, 413);
  // Without the right account the body is dropped and the refusal stays what it is.
  EXPECT_EQ(send("PUT", "/v1/devices/" + id + "/policy", body, tokenFor("bob@example.com")).status,
            404);
  EXPECT_EQ(send("PUT", "/v1/devices/" + id + "/policy", body, "").status, 401);
}

}  // namespace
}  // namespace tether::test
