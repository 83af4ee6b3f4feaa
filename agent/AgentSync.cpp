// The exchange with the web service: policy poll, usage upload, and the inventory it carries.
#include "Agent.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>

#include "Clock.h"
#include "Digest.h"
#include "Gzip.h"
#include "HttpClient.h"
#include "InventoryScan.h"
#include "Log.h"
#include "SafeFile.h"
#include "Utf8.h"
#include "dns/SiteIndex.h"
#include "platform/MemoryRelease.h"
#include "platform/TimeZone.h"

namespace tether {

namespace {

// Bodies of a megabyte or more leave enough freed memory behind to be worth handing back.
constexpr std::size_t kLargeBody = 1 << 20;

// Hands freed memory back to the system when it goes out of scope, if asked to by then.
struct ReleaseFreedMemory {
  bool wanted = false;
  ReleaseFreedMemory() = default;
  ReleaseFreedMemory(const ReleaseFreedMemory&) = delete;
  ReleaseFreedMemory& operator=(const ReleaseFreedMemory&) = delete;
  ~ReleaseFreedMemory() {
    if (wanted) MemoryRelease::returnFreedMemory();
  }
};

}  // namespace

Result<HttpRequest> Agent::authorizedRequest(const std::string& path) const {
  // Joined as plain text: a serverURL ending in "/" gives two slashes, and is sent that way.
  std::string url = config_.serverURL + path;
  if (!HttpClient::parsesAsURL(url)) return Result<HttpRequest>::failure("bad serverURL");
  // A line break would end the header and let the rest of the token start another one.
  if (config_.deviceToken.find_first_of("\r\n", 0) != std::string::npos ||
      config_.deviceToken.find('\0') != std::string::npos) {
    return Result<HttpRequest>::failure("bad deviceToken: it contains a line break or NUL");
  }
  HttpRequest request;
  request.url = std::move(url);
  request.timeout = std::chrono::seconds(60);
  request.headers.push_back("Authorization: Bearer " + config_.deviceToken);
  return request;
}

std::optional<AgentError> Agent::throwIfNeeded(const HttpResponse& response) {
  if (response.status < 400) return std::nullopt;
  // The body, or the empty text when it is not UTF-8. It goes into a log line on every failed
  // poll and upload, so a long one is cut after its first 4 KiB (at a character boundary).
  constexpr std::size_t kShownBytes = 4096;
  const std::string& body = response.body;
  if (!Utf8::isValid(body)) return AgentError::http(static_cast<int>(response.status), "");
  if (body.size() <= kShownBytes) return AgentError::http(static_cast<int>(response.status), body);
  std::size_t cut = kShownBytes;
  while (cut > 0 && (static_cast<unsigned char>(body[cut]) & 0xC0) == 0x80) --cut;
  return AgentError::http(static_cast<int>(response.status),
                          body.substr(0, cut) + " \u2026 (" + std::to_string(body.size()) +
                              " bytes)");
}

void Agent::poll() {
  auto request = authorizedRequest("/v1/policy");
  if (!request) {
    log("poll failed: " + request.error());
    return;
  }
  request->method = "GET";
  // The last body again would change nothing while the policy in force carries its rev and the
  // usage epoch has not fallen below the body's (see below): the service need not send it again.
  const bool lastBodyHolds = policy_.rev == lastPolicyRev_ && usage_.epoch >= lastPolicyEpoch_;
  if (lastPolicyTag_ && lastBodyHolds)
    request->headers.push_back("If-None-Match: " + *lastPolicyTag_);
  ReleaseFreedMemory release;  // runs last, once the body is gone
  auto response = session_->send(*request);
  if (!response) {
    // A stop request abandons the request; the loop ends without counting it as a failure.
    if (response.error() == HttpClient::kInterrupted) return;
    log("poll failed: " + response.error());
    return;
  }
  if (auto error = throwIfNeeded(*response)) {
    log("poll failed: " + error->text());
    return;
  }
  // Not modified: the policy in force is the service's. (The tag covers the whole document, so
  // a reset by the parent, which raises usageEpoch, comes as a new body.)
  if (response->status == 304) return;
  serviceTakesGzip_ = response->header("Content-Encoding") == "gzip";
  std::optional<std::string> tag = response->header("ETag");
  if (tag && (tag->empty() || tag->find_first_of("\r\n") != std::string::npos)) tag.reset();
  // The service answers with the policy in force nearly every time. The same bytes decode to the
  // same rev and usageEpoch, and applying them again would change nothing while the policy in
  // force carries that rev and the usage epoch has not fallen below theirs, so a large policy is
  // not decoded again every poll.
  const Digest::Value digest = Digest::of(response->body);
  if (lastPolicyDigest_ == digest && lastBodyHolds) {
    lastPolicyTag_ = std::move(tag);
    return;
  }
  auto fetched = Policy::decode(response->body);
  if (!fetched) {
    log("poll failed: " + fetched.error());
    return;
  }
  lastPolicyRev_ = fetched->rev;
  lastPolicyEpoch_ = fetched->usageEpoch;
  lastPolicyDigest_ = digest;
  lastPolicyTag_ = std::move(tag);
  // A policy that takes over is kept on disk first: its body is freed before the rules are built.
  if (fetched->rev != policy_.rev) savePolicy(response->body);
  // The body and the previous policy's rules are freed below. (The body of an unchanged policy is
  // not worth handing back: the next poll or the upload that follows takes its place again.)
  release.wanted = response->body.size() >= kLargeBody;
  response->body = std::string();  // its names now live in the decoded policy
  applyPolicy(std::move(*fetched));
}

void Agent::savePolicy(std::string_view body) {
  const std::filesystem::path file = configURL_ / kPolicyFile;
  std::string failure;
  noteWrite(policyWriteFailing_, file, SafeFile::writeAtomically(file, body, 0600, &failure),
            failure);
}

void Agent::loadSavedPolicy() {
  const std::filesystem::path file = configURL_ / kPolicyFile;
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0) return;  // none kept yet
  const auto ignored = [&file](const std::string& why) {
    log(file.string() + " ignored: " + why);
  };
  // Only a file of the agent's own that no one else may change is taken up.
  if (S_ISREG(st.st_mode) && (st.st_uid != ::geteuid() || (st.st_mode & 0077) != 0)) {
    return ignored("not the agent's own file with mode 0600");
  }
  auto body = SafeFile::read(file, session_->limits().maxBodyBytes, SafeFile::Links::Refuse);
  if (!body) return ignored(body.error());
  auto saved = Policy::decode(*body);
  if (!saved) return ignored(saved.error());
  // A first poll that brings the same bytes need not decode them again.
  lastPolicyRev_ = saved->rev;
  lastPolicyEpoch_ = saved->usageEpoch;
  lastPolicyDigest_ = Digest::of(*body);
  *body = std::string();
  applyPolicy(std::move(*saved), PolicyOrigin::disk);
}

void Agent::postUsage(bool forceInventory) {
  UsageReport report;
  report.date = usage_.date;
  report.usageEpoch = usage_.epoch;
  ReportedBlocked blocked = reportedBlocked();
  report.blockedNow = std::move(blocked.list);
  report.blockedDomainCount = blocked.leftOutHosts;
  // One decimal, halves away from zero, on the product with 10: 12.25 -> 12.3, 0.04 -> 0.0.
  for (const auto& [key, minutes] : usage_.minutes) {
    report.minutes.emplace(key, std::round(minutes * 10) / 10);
  }
  // The inventory runs off the loop's thread. A due one is started here; the report carries
  // whichever scan has finished since the last report, and only the first report waits for its
  // scan, a little.
  if (forceInventory) inventoryScan_->start();
  const bool first = forceInventory && firstInventoryDue_;
  firstInventoryDue_ = firstInventoryDue_ && !forceInventory;
  if (auto apps = inventoryScan_->take(first ? kFirstInventoryWait : std::chrono::seconds(0))) {
    report.apps = std::move(*apps);
  }
  report.timeZone = TimeZone::currentIdentifier();

  auto request = authorizedRequest("/v1/usage");
  if (!request) {
    log("usage post failed: " + request.error());
    return;
  }
  request->method = "POST";
  request->headers.push_back("Content-Type: application/json");
  request->body = report.encode();
  if (serviceTakesGzip_) {
    request->body = Gzip::compress(request->body);
    request->headers.push_back("Content-Encoding: gzip");
  }
  ReleaseFreedMemory release;
  release.wanted = request->body.size() >= kLargeBody;
  report = UsageReport();
  auto response = session_->send(*request);
  request->body = std::string();
  if (!response) {
    if (response.error() == HttpClient::kInterrupted) return;
    log("usage post failed: " + response.error());
    return;
  }
  if (auto error = throwIfNeeded(*response)) log("usage post failed: " + error->text());
}

void Agent::applyPolicy(Policy fetched) { applyPolicy(std::move(fetched), PolicyOrigin::service); }

void Agent::applyPolicy(Policy fetched, PolicyOrigin origin) {
  if (fetched.usageEpoch > usage_.epoch) {
    usage_ = UsageState{Clock::todayStamp(env_.now()), {}, fetched.usageEpoch};
    persistUsage();
    log("usage reset by parent (epoch " + std::to_string(fetched.usageEpoch) + ")");
  }
  if (fetched.rev == policy_.rev) return;
  const std::string rev = "policy rev " + std::to_string(fetched.rev);
  const std::string line =
      origin == PolicyOrigin::disk
          ? rev + " from disk"
          : rev + ": " + std::to_string(fetched.apps.size()) + " app rule(s), " +
                std::to_string(fetched.domains.size()) + " blocked domain(s), " +
                std::to_string(fetched.domainLimits.size()) + " domain limit(s)";
  policy_ = std::move(fetched);
  siteIndex_ = std::make_shared<const SiteIndex>(policy_);
  // (Assigning {} would keep the vectors' capacity.)
  policy_.domains = std::vector<std::string>();
  policy_.domainAllow = std::vector<std::string>();
  policy_.domainExact = std::vector<std::string>();
  applyDNS();
  log(line);
}

}  // namespace tether
