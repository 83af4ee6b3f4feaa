// The tether-service program itself: its first line and its stop.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include "TestSupport.h"

namespace tether {
namespace {

using namespace std::chrono_literals;

TEST(ServiceMain, PrintsTheChosenAddressServesAndStopsCleanlyOnSigterm) {
  test::TempDir dir;
  test::ChildProcess service(
      {TETHER_SERVICE_PATH, "--db", (dir / "service.db").string(), "--listen", "127.0.0.1:0"});
  ASSERT_TRUE(service.waitFor("\n", 20s, "stdout"));
  const std::string line = service.stdoutText();
  ASSERT_TRUE(line.starts_with("listening on 127.0.0.1:")) << line;
  httplib::Client client("127.0.0.1", std::stoi(line.substr(23)));
  const auto r = client.Get("/v1/devices");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 401);
  EXPECT_EQ(r->body, R"({"detail":"missing bearer token"})");
  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(20s), 0);
  EXPECT_TRUE(std::filesystem::exists(dir / "service.db"));
}

}  // namespace
}  // namespace tether
