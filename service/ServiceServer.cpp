#include "ServiceServer.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <thread>

#include <nlohmann/json.hpp>

#include "ConsoleFiles.h"
#include "Gzip.h"
#include "HttpServer.h"
#include "JsonFields.h"
#include "PolicyDocument.h"
#include "ReportDocument.h"
#include "RequestChecks.h"
#include "SignInPage.h"
#include "Tokens.h"

namespace tether {

namespace {

using Request = ServerRequest;
using Response = ServerResponse;
using nlohmann::json;

// How often an edit without "rev" is made again on top of a save that came between.
constexpr int kEditAttempts = 32;

std::string dump(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

void sendJsonText(Response& res, int status, std::string body) {
  res.status = status;
  res.setContent(std::move(body), "application/json");
}

void sendJson(Response& res, int status, const json& body) {
  sendJsonText(res, status, dump(body));
}

// Keeps the headers already set (WWW-Authenticate).
void sendDetail(Response& res, int status, const std::string& detail) {
  sendJsonText(res, status, std::move(Response::refusal(status, detail).body));
}

// The token of an "Authorization: Bearer <token>" header; empty when there is none.
std::string bearerToken(const Request& req) {
  return RequestChecks::bearerToken(req.header("Authorization"));
}

json loginResponse(const Account& account, const std::string& token) {
  return {{"email", account.email}, {"apiToken", token}, {"userId", account.id}};
}

json deviceRecord(const Device& d) {
  return {{"id", d.id},
          {"name", d.name},
          {"token", d.token},
          {"lastSeen", d.lastSeen ? json(*d.lastSeen) : json(nullptr)}};
}

// The entity tag of a policy answer: one per document and content coding.
std::string entityTag(const DevicePolicy& p, bool gzip) {
  return "\"" + PolicyDocument::tag(p.rev, p.usageEpoch, p.keptDigest) + (gzip ? "-gzip" : "") +
         "\"";
}

// The console's pages: scripts, styles and everything else only from the service itself.
void setConsoleHeaders(Response& res) {
  res.setHeader("Content-Security-Policy",
                "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'; "
                "frame-ancestors 'none'");
  res.setHeader("X-Frame-Options", "DENY");
  res.setHeader("Referrer-Policy", "no-referrer");
  res.setHeader("Cross-Origin-Opener-Policy", "same-origin");
}

// E-mail addresses are compared without regard to ASCII letter case.
std::string accountKey(std::string_view email) {
  std::string key = RequestChecks::trimmed(email);
  for (char& c : key) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  return key;
}

void setPageHeaders(Response& res) {
  res.setHeader(
      "Content-Security-Policy",
      "default-src 'none'; style-src 'unsafe-inline'; frame-ancestors 'none'; base-uri 'none'");
  res.setHeader("X-Frame-Options", "DENY");
  res.setHeader("Referrer-Policy", "no-referrer");
}

}  // namespace

struct ServiceServer::Impl : HttpServer::Handler {
  Impl(ServiceStore& s, Settings settingsIn)
      : store(s), settings(std::move(settingsIn)), http(*this, settings.limits) {}

  using Handler = void (Impl::*)(const Request&, Response&);
  using Check = std::optional<Response> (Impl::*)(const Request&);

  struct Route {
    const char* method;
    std::regex pattern;
    std::size_t bodyLimit;
    Handler handler;
    // Checked once the head is in, before the body is read: who may send this body at all.
    Check admission = nullptr;
  };

  ServiceStore& store;
  Settings settings;
  LoginThrottle throttle{settings.loginLimits};
  std::vector<Route> routes;
  std::once_flag decoyOnce;
  std::string decoyHash;
  HttpServer http;  // last: stopped before the rest goes

  void log(std::string_view line) override {
    if (settings.log) settings.log(line);
  }

  // A 500, or a 503 when the database cannot be reached: that passes, and the client may try
  // again.
  void internalError(Response& res, const std::string& what) {
    if (ServiceStore::isUnavailable(what)) {
      log(what);
      res.setHeader("Retry-After", "5");
      return sendDetail(res, 503, "the service cannot reach its database; try again shortly");
    }
    log("internal error: " + what);
    sendDetail(res, 500, "internal error");
  }

  // False, with the refusal in res, for a body not sent as JSON.
  static bool acceptJsonBody(const Request& req, Response& res) {
    if (RequestChecks::isJsonContentType(req.header("Content-Type"))) return true;
    sendDetail(res, 415, "the request body must be JSON, sent with Content-Type application/json");
    return false;
  }

  // The JSON object in the body, or nothing with the refusal already in res.
  static std::optional<json> jsonBody(const Request& req, Response& res) {
    if (!acceptJsonBody(req, res)) return std::nullopt;
    try {
      json body = JsonFields::parse(req.body);
      JsonFields::requireObject(body, "");
      return body;
    } catch (const DecodeError& e) {
      sendDetail(res, 400, e.what());
      return std::nullopt;
    }
  }

  static std::optional<std::string> stringField(const json& body, const char* key, Response& res) {
    try {
      return JsonFields::asString(JsonFields::require(body, key, ""), key);
    } catch (const DecodeError& e) {
      sendDetail(res, 400, e.what());
      return std::nullopt;
    }
  }

  std::optional<Account> requireAccount(const Request& req, Response& res) {
    const std::string token = bearerToken(req);
    if (token.empty()) {
      res.setHeader("WWW-Authenticate", "Bearer");
      sendDetail(res, 401, "missing bearer token");
      return std::nullopt;
    }
    auto account = store.accountForToken(token);
    if (!account) {
      internalError(res, account.error());
      return std::nullopt;
    }
    if (!*account) {
      res.setHeader("WWW-Authenticate", "Bearer error=\"invalid_token\"");
      sendDetail(res, 401, "invalid account token");
      return std::nullopt;
    }
    return **account;
  }

  // The account and the device id of a /v1/devices/{id}/... request.
  std::optional<std::pair<Account, int64_t>> requireOwnDevice(const Request& req, Response& res) {
    auto account = requireAccount(req, res);
    if (!account) return std::nullopt;
    const auto id = RequestChecks::parseId(req.matches.at(1));
    if (!id) {
      sendDetail(res, 404, "device not found");
      return std::nullopt;
    }
    return std::make_pair(*account, *id);
  }

  // The device token of an agent's request, or nothing with the refusal in res.
  static std::optional<std::string> requireDeviceToken(const Request& req, Response& res) {
    std::string token = bearerToken(req);
    if (!token.empty()) return token;
    res.setHeader("WWW-Authenticate", "Bearer");
    sendDetail(res, 401, "missing bearer token");
    return std::nullopt;
  }

  // Answers with the policy, or 404 when the device is not the account's. The answer carries a
  // strong entity tag and is compressed when the client takes gzip; a GET whose If-None-Match
  // names the tag gets 304 without the document (its policy is wanted only when it will be sent).
  void sendPolicy(const Request& req, Response& res,
                  const Result<std::optional<DevicePolicy>>& policy) {
    if (!policy) return internalError(res, policy.error());
    if (!*policy) return sendDetail(res, 404, "device not found");
    const bool gzip = RequestChecks::acceptsGzip(req.header("Accept-Encoding"));
    const std::string tag = entityTag(**policy, gzip);
    res.setHeader("ETag", tag);
    res.setHeader("Vary", "Accept-Encoding");
    if (unchangedFor(req, **policy)) {
      res.status = 304;
      return;
    }
    std::string document =
        PolicyDocument::serve((*policy)->rev, (*policy)->usageEpoch, (*policy)->kept);
    if (gzip) {
      document = Gzip::compress(document);
      res.setHeader("Content-Encoding", "gzip");
    }
    sendJsonText(res, 200, std::move(document));
  }

  // Whether the client of a GET has this policy already.
  static bool unchangedFor(const Request& req, const DevicePolicy& policy) {
    const bool gzip = RequestChecks::acceptsGzip(req.header("Accept-Encoding"));
    return (req.method == "GET" || req.method == "HEAD") &&
           RequestChecks::matchesEntityTag(req.header("If-None-Match"), entityTag(policy, gzip));
  }

  void issueLogin(Response& res, const Account& account, int status) {
    auto token = store.issueAccountToken(account.id);
    if (!token) return internalError(res, token.error());
    sendJson(res, status, loginResponse(account, *token));
  }

  // A hash to verify against when no account matches, so that a login for an unknown address
  // takes as long as one with a wrong password.
  const std::string& decoy() {
    std::call_once(decoyOnce, [this] {
      auto h = PasswordHash::hash(Tokens::random(), settings.passwordCost);
      if (h) decoyHash = *h;
    });
    return decoyHash;
  }

  // --- checks before the body -----------------------------------------------------------------

  std::optional<Response> accountAdmission(const Request& req) {
    Response res;
    if (requireAccount(req, res)) return std::nullopt;
    return res;
  }

  // Nobody but the device's own account can make the service hold a policy-sized body.
  std::optional<Response> ownDeviceAdmission(const Request& req) {
    Response res;
    auto own = requireOwnDevice(req, res);
    if (!own) return res;
    auto owns = store.ownsDevice(own->first.id, own->second);
    if (!owns) {
      internalError(res, owns.error());
      return res;
    }
    if (!*owns) {
      sendDetail(res, 404, "device not found");
      return res;
    }
    return std::nullopt;
  }

  std::optional<Response> deviceAdmission(const Request& req) {
    Response res;
    auto token = requireDeviceToken(req, res);
    if (!token) return res;
    auto known = store.knowsDeviceToken(*token);
    if (!known) {
      internalError(res, known.error());
      return res;
    }
    if (!*known) {
      sendDetail(res, 401, "invalid device token");
      return res;
    }
    return std::nullopt;
  }

  // --- accounts -------------------------------------------------------------------------------

  // False, with a 429 in res, when the client address or the account has used its attempts.
  bool admitAttempt(const Request& req, Response& res, const std::string& account) {
    const auto wait = throttle.admit(req.remoteAddress, account, LoginThrottle::Clock::now());
    if (!wait) return true;
    res.setHeader("Retry-After", std::to_string(wait->count()));
    sendDetail(res, 429,
               "too many sign-in attempts; try again in " + std::to_string(wait->count()) +
                   (wait->count() == 1 ? " second" : " seconds"));
    return false;
  }

  void registerAccount(const Request& req, Response& res) {
    auto body = jsonBody(req, res);
    if (!body) return;
    auto rawEmail = stringField(*body, "email", res);
    if (!rawEmail) return;
    auto password = stringField(*body, "password", res);
    if (!password) return;
    auto email = RequestChecks::checkEmail(*rawEmail);
    if (!email) return sendDetail(res, 400, email.error());
    if (auto checked = RequestChecks::checkNewPassword(*password); !checked) {
      return sendDetail(res, 400, checked.error());
    }
    if (!admitAttempt(req, res, "")) return;
    const std::string taken = "an account with this e-mail address already exists";
    auto existing = store.findAccount(*email);
    if (!existing) return internalError(res, existing.error());
    if (*existing) return sendDetail(res, 409, taken);
    auto hash = PasswordHash::hash(*password, settings.passwordCost);
    if (!hash) return internalError(res, hash.error());
    auto account = store.createAccount(*email, *hash);
    if (!account) return internalError(res, account.error());
    if (!*account) return sendDetail(res, 409, taken);
    issueLogin(res, **account, 201);
  }

  void login(const Request& req, Response& res) {
    auto body = jsonBody(req, res);
    if (!body) return;
    auto email = stringField(*body, "email", res);
    if (!email) return;
    auto password = stringField(*body, "password", res);
    if (!password) return;
    if (RequestChecks::trimmed(*email).empty() || password->empty()) {
      return sendDetail(res, 400, "an e-mail address and a password are required");
    }
    const std::string key = accountKey(*email);
    if (!admitAttempt(req, res, key)) return;
    const std::string refused = "incorrect e-mail address or password";
    auto found = store.findAccount(RequestChecks::trimmed(*email));
    if (!found) return internalError(res, found.error());
    const std::optional<Account>& account = *found;
    if (!account || !account->passwordHash || password->size() > RequestChecks::kMaxPasswordBytes) {
      (void)PasswordHash::verify(decoy(), *password);
      return sendDetail(res, 401, refused);
    }
    if (!PasswordHash::verify(*account->passwordHash, *password))
      return sendDetail(res, 401, refused);
    if (PasswordHash::needsRehash(*account->passwordHash, settings.passwordCost)) {
      if (auto fresh = PasswordHash::hash(*password, settings.passwordCost)) {
        if (auto saved = store.setPasswordHash(account->id, *fresh); !saved)
          log("rehash failed: " + saved.error());
      }
    }
    throttle.succeeded(key);
    issueLogin(res, *account, 200);
  }

  void exchangeCode(const Request& req, Response& res) {
    auto body = jsonBody(req, res);
    if (!body) return;
    auto code = stringField(*body, "code", res);
    if (!code) return;
    if (code->empty()) return sendDetail(res, 400, "a sign-in code is required");
    auto account = store.redeemSignInCode(*code);
    if (!account) return internalError(res, account.error());
    if (!*account) return sendDetail(res, 400, "the sign-in code is unknown, used or expired");
    issueLogin(res, **account, 200);
  }

  // --- devices (account token) ----------------------------------------------------------------

  void listDevices(const Request& req, Response& res) {
    auto account = requireAccount(req, res);
    if (!account) return;
    auto devices = store.devices(account->id);
    if (!devices) return internalError(res, devices.error());
    json list = json::array();
    for (const Device& d : *devices) list.push_back(deviceRecord(d));
    sendJson(res, 200, list);
  }

  void createDevice(const Request& req, Response& res) {
    auto account = requireAccount(req, res);
    if (!account) return;
    auto body = jsonBody(req, res);
    if (!body) return;
    auto rawName = stringField(*body, "name", res);
    if (!rawName) return;
    auto name = RequestChecks::checkDeviceName(*rawName);
    if (!name) return sendDetail(res, 400, name.error());
    auto device = store.createDevice(account->id, *name);
    if (!device) return internalError(res, device.error());
    sendJson(res, 201, deviceRecord(*device));
  }

  void renameDevice(const Request& req, Response& res) {
    auto own = requireOwnDevice(req, res);
    if (!own) return;
    auto body = jsonBody(req, res);
    if (!body) return;
    auto rawName = stringField(*body, "name", res);
    if (!rawName) return;
    auto name = RequestChecks::checkDeviceName(*rawName);
    if (!name) return sendDetail(res, 400, name.error());
    auto device = store.renameDevice(own->first.id, own->second, *name);
    if (!device) return internalError(res, device.error());
    if (!*device) return sendDetail(res, 404, "device not found");
    sendJson(res, 200, deviceRecord(**device));
  }

  void removeDevice(const Request& req, Response& res) {
    auto own = requireOwnDevice(req, res);
    if (!own) return;
    auto removed = store.removeDevice(own->first.id, own->second);
    if (!removed) return internalError(res, removed.error());
    if (!*removed) return sendDetail(res, 404, "device not found");
    res.status = 204;
  }

  void logout(const Request& req, Response& res) {
    if (!requireAccount(req, res)) return;
    auto revoked = store.revokeAccountToken(bearerToken(req));
    if (!revoked) return internalError(res, revoked.error());
    res.status = 204;
  }

  void getDevicePolicy(const Request& req, Response& res) {
    auto own = requireOwnDevice(req, res);
    if (!own) return;
    sendPolicy(req, res, store.policy(own->first.id, own->second));
  }

  void putDevicePolicy(const Request& req, Response& res) {
    auto own = requireOwnDevice(req, res);
    if (!own || !acceptJsonBody(req, res)) return;
    auto kept = PolicyDocument::normalize(req.body);
    if (!kept) return sendDetail(res, 400, kept.error());
    sendPolicy(req, res, store.setPolicy(own->first.id, own->second, *kept));
  }

  void getPolicyOutline(const Request& req, Response& res) {
    auto own = requireOwnDevice(req, res);
    if (!own) return;
    auto policy = store.policy(own->first.id, own->second);
    if (!policy) return internalError(res, policy.error());
    if (!*policy) return sendDetail(res, 404, "device not found");
    sendJsonText(res, 200, PolicyDocument::outline((*policy)->rev, (*policy)->usageEpoch,
                                                   (*policy)->kept));
  }

  void searchPolicyDomains(const Request& req, Response& res) {
    auto own = requireOwnDevice(req, res);
    if (!own) return;
    std::size_t limit = 100;
    if (const std::string text = req.param("limit"); !text.empty()) {
      const auto parsed = RequestChecks::parseId(text);
      if (!parsed || *parsed > 1000)
        return sendDetail(res, 400, "limit must be a whole number from 1 to 1000");
      limit = static_cast<std::size_t>(*parsed);
    }
    auto policy = store.policy(own->first.id, own->second);
    if (!policy) return internalError(res, policy.error());
    if (!*policy) return sendDetail(res, 404, "device not found");
    sendJsonText(res, 200, PolicyDocument::searchDomains((*policy)->kept, req.param("q"), limit));
  }

  void editPolicy(const Request& req, Response& res) {
    auto own = requireOwnDevice(req, res);
    if (!own) return;
    auto body = jsonBody(req, res);
    if (!body) return;
    std::optional<int64_t> expected;
    if (const json* rev = JsonFields::find(*body, "rev")) {
      if (!rev->is_number_integer()) return sendDetail(res, 400, "key \"rev\": expected an integer");
      expected = rev->get<int64_t>();
    }
    // An edit names changes, not a whole document, so a save made by someone else meanwhile is
    // kept: the edit is made again on top of it, unless the parent asked for the rev they read.
    // After a lost race each try waits a little, for a random while, so that edits that keep
    // meeting each other fall out of step.
    for (int attempt = 0; attempt < kEditAttempts; ++attempt) {
      if (attempt > 0) {
        thread_local std::minstd_rand random{std::random_device{}()};
        std::uniform_int_distribution<int> micros(0, 1000 * std::min(attempt, 10));
        std::this_thread::sleep_for(std::chrono::microseconds(micros(random)));
      }
      auto policy = store.policy(own->first.id, own->second);
      if (!policy) return internalError(res, policy.error());
      if (!*policy) return sendDetail(res, 404, "device not found");
      const int64_t read = (*policy)->rev;
      if (expected && *expected != read) {
        return sendDetail(res, 409,
                          "the policy was changed since it was read (it is now rev " +
                              std::to_string(read) + "); load it again");
      }
      auto kept = PolicyDocument::edit((*policy)->kept, *body);
      if (!kept) return sendDetail(res, 400, kept.error());
      auto saved = store.setPolicy(own->first.id, own->second, *kept, read);
      if (!saved) return internalError(res, saved.error());
      if (!*saved) return sendDetail(res, 404, "device not found");
      if ((*saved)->kept) {
        return sendJsonText(
            res, 200, PolicyDocument::outline((*saved)->rev, (*saved)->usageEpoch, (*saved)->kept));
      }
    }
    sendDetail(res, 409, "the policy is being changed elsewhere at this moment; try again");
  }

  void consoleFile(const Request& req, Response& res) {
    const ConsoleFile* file = ConsoleFiles::find(req.path);
    if (!file) return sendDetail(res, 404, "not found");
    const std::string tag = "\"" + Tokens::digest(file->content).substr(0, 32) + "\"";
    setConsoleHeaders(res);
    res.setHeader("ETag", tag);
    res.setHeader("Cache-Control", "no-cache");
    if (RequestChecks::matchesEntityTag(req.header("If-None-Match"), tag)) {
      res.status = 304;
      return;
    }
    res.status = 200;
    res.setContent(std::string(file->content), std::string(file->contentType));
  }

  void resetUsage(const Request& req, Response& res) {
    auto own = requireOwnDevice(req, res);
    if (!own) return;
    sendPolicy(req, res, store.resetUsage(own->first.id, own->second));
  }

  void deviceUsage(const Request& req, Response& res) {
    auto own = requireOwnDevice(req, res);
    if (!own) return;
    std::optional<int64_t> days;
    if (const std::string text = req.param("days"); !text.empty()) {
      days = RequestChecks::parseId(text);
      if (!days || *days > 3660)
        return sendDetail(res, 400, "days must be a whole number from 1 to 3660");
    }
    auto reports = days ? store.latestReports(own->first.id, own->second, *days)
                        : store.reports(own->first.id, own->second);
    if (!reports) return internalError(res, reports.error());
    if (!*reports) return sendDetail(res, 404, "device not found");
    json list = json::array();
    for (const StoredReport& r : **reports) {
      json report = json::parse(r.report, nullptr, false);
      if (!report.is_object())
        return internalError(res, "stored report of " + r.date + " is not JSON");
      report["receivedAt"] = r.receivedAt;
      list.push_back(std::move(report));
    }
    sendJson(res, 200, list);
  }

  void deviceApps(const Request& req, Response& res) {
    auto own = requireOwnDevice(req, res);
    if (!own) return;
    auto inventory = store.inventory(own->first.id, own->second);
    if (!inventory) return internalError(res, inventory.error());
    if (!*inventory) return sendDetail(res, 404, "device not found");
    const json receivedAt =
        (*inventory)->receivedAt ? json(*(*inventory)->receivedAt) : json(nullptr);
    sendJsonText(res, 200,
                 "{\"apps\":" + (*inventory)->apps + ",\"receivedAt\":" + dump(receivedAt) + "}");
  }

  // --- agent (device token) -------------------------------------------------------------------

  void poll(const Request& req, Response& res) {
    auto token = requireDeviceToken(req, res);
    if (!token) return;
    auto policy = store.pollPolicy(
        *token, [&req](const DevicePolicy& head) { return !unchangedFor(req, head); });
    if (!policy) return internalError(res, policy.error());
    if (!*policy) return sendDetail(res, 401, "invalid device token");
    sendPolicy(req, res, policy);
  }

  void upload(const Request& req, Response& res) {
    auto token = requireDeviceToken(req, res);
    if (!token || !acceptJsonBody(req, res)) return;
    auto report = ReportDocument::check(req.body);
    if (!report) return sendDetail(res, 400, report.error());
    auto stored = store.recordUsage(*token, report->date, report->report, report->apps);
    if (!stored) return internalError(res, stored.error());
    if (!*stored) return sendDetail(res, 401, "invalid device token");
    sendJson(res, 200, {{"date", report->date}});
  }

  // --- web sign-in stand-in -------------------------------------------------------------------

  // The provider of an /oauth/{provider} request, or nothing with the refusal in res.
  static std::optional<std::string> signInProvider(const Request& req, Response& res) {
    const std::string& provider = req.matches.at(1);
    if (!SignInPage::providerName(provider)) {
      sendDetail(res, 404, "unknown sign-in provider");
      return std::nullopt;
    }
    if (req.param("client") != "app" && req.param("client") != "web") {
      sendDetail(res, 400, "unsupported client: the sign-in page serves ?client=app and ?client=web");
      return std::nullopt;
    }
    return provider;
  }

  static void sendPage(const Request& req, Response& res, int status, const std::string& provider,
                       const std::string& email, const std::string& message) {
    const std::string client = req.param("client");
    res.status = status;
    setPageHeaders(res);
    res.setContent(SignInPage::render(provider, email, message, client), "text/html; charset=utf-8");
  }

  void signInPage(const Request& req, Response& res) {
    auto provider = signInProvider(req, res);
    if (!provider) return;
    sendPage(req, res, 200, *provider, "", "");
  }

  void signInContinue(const Request& req, Response& res) {
    auto provider = signInProvider(req, res);
    if (!provider) return;
    const std::string raw = RequestChecks::formField(req.body, "email");
    auto email = RequestChecks::checkEmail(raw);
    if (!email)
      return sendPage(req, res, 400, *provider, RequestChecks::isUtf8(raw) ? raw : "", email.error());
    auto found = store.findAccount(*email);
    if (!found) return internalError(res, found.error());
    std::optional<Account> account = *found;
    if (account && account->passwordHash) {
      // The stand-in proves nothing about the address, so it never opens an account that is
      // protected by a password.
      return sendPage(req, res, 409, *provider, *email,
                      "This address belongs to an account with a password: sign in with the "
                      "e-mail address and password instead.");
    }
    if (!account) {
      auto created = store.createAccount(*email, std::nullopt);
      if (!created) return internalError(res, created.error());
      account = *created;
      if (!account) {  // made by a request running at the same time
        auto again = store.findAccount(*email);
        if (!again) return internalError(res, again.error());
        account = *again;
      }
      if (!account || account->passwordHash)
        return sendDetail(res, 409, "the account changed; try again");
    }
    auto code = store.issueSignInCode(account->id, settings.signInCodeLifetime);
    if (!code) return internalError(res, code.error());
    res.status = 303;
    res.setHeader("Location", SignInPage::callbackURL(*code, req.param("client")));
  }

  // --- routing --------------------------------------------------------------------------------

  void addRoutes() {
    const std::size_t small = kSmallBodyLimit;
    // The agent joins its base URL and the path as plain text, so a base URL written with a
    // trailing slash sends "//v1/policy"; its two routes take any number of leading slashes.
    routes = {
        {"POST", std::regex("/v1/register"), small, &Impl::registerAccount},
        {"POST", std::regex("/v1/login"), small, &Impl::login},
        {"POST", std::regex("/v1/oauth/exchange"), small, &Impl::exchangeCode},
        {"GET", std::regex("/v1/devices"), small, &Impl::listDevices},
        {"POST", std::regex("/v1/devices"), small, &Impl::createDevice, &Impl::accountAdmission},
        {"PATCH", std::regex("/v1/devices/([^/]+)"), small, &Impl::renameDevice,
         &Impl::accountAdmission},
        {"DELETE", std::regex("/v1/devices/([^/]+)"), small, &Impl::removeDevice},
        {"POST", std::regex("/v1/logout"), small, &Impl::logout},
        {"GET", std::regex("/v1/devices/([^/]+)/policy"), small, &Impl::getDevicePolicy},
        {"GET", std::regex("/v1/devices/([^/]+)/policy/outline"), small, &Impl::getPolicyOutline},
        {"GET", std::regex("/v1/devices/([^/]+)/policy/domains"), small,
         &Impl::searchPolicyDomains},
        {"PATCH", std::regex("/v1/devices/([^/]+)/policy"), kPolicyBodyLimit, &Impl::editPolicy,
         &Impl::ownDeviceAdmission},
        {"PUT", std::regex("/v1/devices/([^/]+)/policy"), kPolicyBodyLimit, &Impl::putDevicePolicy,
         &Impl::ownDeviceAdmission},
        {"POST", std::regex("/v1/devices/([^/]+)/usage/reset"), small, &Impl::resetUsage},
        {"GET", std::regex("/v1/devices/([^/]+)/usage"), small, &Impl::deviceUsage},
        {"GET", std::regex("/v1/devices/([^/]+)/apps"), small, &Impl::deviceApps},
        {"GET", std::regex("/+v1/policy"), small, &Impl::poll},
        {"POST", std::regex("/+v1/usage"), kReportBodyLimit, &Impl::upload, &Impl::deviceAdmission},
        {"GET", std::regex("/oauth/([^/]+)"), small, &Impl::signInPage},
        {"POST", std::regex("/oauth/([^/]+)"), small, &Impl::signInContinue},
        {"GET", std::regex("/[A-Za-z0-9._-]*"), small, &Impl::consoleFile},
    };
  }

  // The route of a request, with the pattern's groups put into it; nullptr when none matches.
  const Route* route(Request& req) const {
    const std::string method = req.method == "HEAD" ? "GET" : req.method;
    for (const Route& r : routes) {
      std::smatch match;
      if (method != r.method || !std::regex_match(req.path, match, r.pattern)) continue;
      req.matches.assign(match.begin(), match.end());
      return &r;
    }
    return nullptr;
  }

  Admission admit(const Request& head) override {
    Request req = head;
    const Route* r = route(req);
    if (!r) return {0, withDefaultHeaders(Response::refusal(404, "not found"))};
    if (r->admission) {
      if (auto refusal = (this->*r->admission)(req))
        return {0, withDefaultHeaders(std::move(*refusal))};
    }
    return {r->bodyLimit, std::nullopt};
  }

  Response respond(Request& req) override {
    Response res;
    const Route* r = route(req);
    if (!r) return withDefaultHeaders(Response::refusal(404, "not found"));
    (this->*r->handler)(req, res);
    return withDefaultHeaders(std::move(res));
  }

  // Answers that are no page may not be framed or run anything either.
  static Response withDefaultHeaders(Response res) {
    if (res.header("Content-Security-Policy").empty())
      res.setHeader("Content-Security-Policy", "default-src 'none'; frame-ancestors 'none'");
    return res;
  }
};

ServiceServer::ServiceServer(ServiceStore& store, Settings settings)
    : impl_(std::make_unique<Impl>(store, std::move(settings))) {
  impl_->addRoutes();
}

ServiceServer::~ServiceServer() = default;

Result<int> ServiceServer::bind(const std::string& host, int port) {
  return impl_->http.bind(host, port);
}

Result<bool> ServiceServer::useTls(const std::string& certificateChain,
                                   const std::string& privateKey) {
  return impl_->http.useTls(certificateChain, privateKey);
}

bool ServiceServer::serve() {
  return impl_->http.serve();
}

void ServiceServer::stop() {
  impl_->http.stop();
}

std::string ServiceServer::answer(std::string_view request) {
  return HttpServer::answer(*impl_, request);
}

}  // namespace tether
