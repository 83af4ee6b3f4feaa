#include "ServiceFixture.h"

namespace tether::test {
namespace {

class ServiceDevices : public ServiceFixture {
 protected:
  // A parent and one device of theirs.
  std::string ann, id, deviceToken, policyPath;
  json device;
  void SetUp() override {
    ServiceFixture::SetUp();
    ann = tokenFor("ann@example.com");
    device = createDevice(ann, "Study Mac");
    id = std::to_string(device.value("id", int64_t{0}));
    deviceToken = device.value("token", "");
    policyPath = "/v1/devices/" + id + "/policy";
  }
};

TEST_F(ServiceDevices, DevicesAreListedInCreationOrderAndOnlyToTheirAccount) {
  const std::string bob = tokenFor("bob@example.com");
  createDevice(bob, "Bob's Mac");
  const json second = createDevice(ann, "  Laptop  ");
  EXPECT_EQ(second["name"], "Laptop");
  EXPECT_TRUE(second["lastSeen"].is_null());
  EXPECT_NE(device["token"], second["token"]);
  EXPECT_EQ(get("/v1/devices", ann).body, json({device, second}));
  EXPECT_EQ(get("/v1/devices", bob).body.size(), 1u);
  EXPECT_EQ(get("/v1/devices", tokenFor("cy@example.com")).body, json::array());
  EXPECT_EQ(post("/v1/devices", {{"name", " "}}, ann).body["detail"], "a device name is required");
  EXPECT_EQ(post("/v1/devices", {{"name", std::string(101, 'x')}}, ann).status, 400);

  // Another account's device is not found, whatever is asked of it.
  for (const std::string& path :
       {policyPath, "/v1/devices/" + id + "/usage", "/v1/devices/" + id + "/apps",
        std::string("/v1/devices/999/policy"), std::string("/v1/devices/abc/policy")}) {
    EXPECT_EQ(get(path, bob).body, json({{"detail", "device not found"}})) << path;
  }
  EXPECT_EQ(send("PUT", policyPath, R"({"domains":["x.com"]})", bob).status, 404);
  EXPECT_EQ(post("/v1/devices/" + id + "/usage/reset", json::object(), bob).status, 404);
  EXPECT_EQ(get(policyPath, ann).body["rev"], 0);
}

TEST_F(ServiceDevices, PolicyChangesRaiseRevResetsRaiseUsageEpochAndPollsMarkTheDeviceSeen) {
  EXPECT_EQ(get("/v1/policy", deviceToken).body,
            json::parse(R"({"rev":0,"usageEpoch":0,"apps":{},"domains":[],"domainLimits":{},
                            "domainAllow":[],"domainExact":[]})"));
  EXPECT_TRUE(get("/v1/devices", ann).body[0]["lastSeen"].is_string());

  const Reply set = send("PUT", policyPath, R"({"rev":77,"apps":{"com.valvesoftware.steam":{
      "windows":[{"days":[1,2,3,4,5],"start":"8:30","end":"24:00"}]}},
      "domains":["tiktok.com"],"domainLimits":{"youtube.com":30}})",
                         ann);
  ASSERT_EQ(set.status, 200) << set.text;
  EXPECT_EQ(set.body["rev"], 1);  // the service owns rev: 77 is ignored
  EXPECT_EQ(set.body["apps"]["com.valvesoftware.steam"]["windows"][0]["mode"], "block");
  EXPECT_EQ(send("PUT", policyPath, set.text, ann).body["rev"], 2);

  EXPECT_EQ(post("/v1/devices/" + id + "/usage/reset", json::object(), ann).status, 200);
  const Reply polled = get("/v1/policy", deviceToken);
  EXPECT_EQ(polled.body["rev"], 2);
  EXPECT_EQ(polled.body["usageEpoch"], 1);
  EXPECT_EQ(polled.body["domainLimits"], json({{"youtube.com", 30}}));
  EXPECT_EQ(polled.body, get(policyPath, ann).body);
  // A base URL written with a trailing slash makes the agent ask for //v1/policy.
  EXPECT_EQ(get("//v1/policy", deviceToken).body, polled.body);

  const Reply refused = send("PUT", policyPath, R"({"domains":["YouTube.com"]})", ann);
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(refused.body["detail"],
            "key \"domains[0]\": host name \"YouTube.com\" must be written in lower case");
  EXPECT_EQ(get("/v1/policy", deviceToken).body["rev"], 2);
}

TEST_F(ServiceDevices, PolicyEndpointTakesLargePoliciesWhileOtherBodiesStaySmall) {
  json policy = {{"domains", json::array()}};
  for (int i = 0; i < 20000; ++i) policy["domains"].push_back("h" + std::to_string(i) + ".test");
  const std::string body = policy.dump();
  ASSERT_GT(body.size(), ServiceServer::kSmallBodyLimit);
  EXPECT_EQ(send("PUT", policyPath, body, ann).status, 200);
  EXPECT_EQ(get("/v1/policy", deviceToken).body["domains"], policy["domains"]);
  EXPECT_EQ(send("POST", "/v1/devices", body, ann).status, 413);
  // Without the right account the body is dropped and the refusal stays what it is.
  EXPECT_EQ(send("PUT", policyPath, body, tokenFor("bob@example.com")).status, 404);
  EXPECT_EQ(send("PUT", policyPath, body, "").status, 401);
}

}  // namespace
}  // namespace tether::test
