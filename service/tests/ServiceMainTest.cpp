// The tether-service program itself: its first line, its stop, and an address already in use.
#include <gmock/gmock.h>
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

  // A second service on the same address fails instead of sharing the port with the first
  // (the kernel would split the clients' requests between two databases).
  const std::string address = line.substr(13, line.size() - 14);
  test::ChildProcess second(
      {TETHER_SERVICE_PATH, "--db", (dir / "second.db").string(), "--listen", address});
  EXPECT_EQ(second.wait(20s), 1);
  EXPECT_THAT(second.stderrText(), testing::EndsWith("] fatal: cannot listen on " + address +
                                                     ": Address already in use\n"));
  EXPECT_EQ(second.stdoutText(), "");
  EXPECT_EQ(client.Get("/v1/devices")->status, 401);

  service.signal(SIGTERM);
  EXPECT_EQ(service.wait(20s), 0);
  EXPECT_TRUE(std::filesystem::exists(dir / "service.db"));
}

}  // namespace
}  // namespace tether
