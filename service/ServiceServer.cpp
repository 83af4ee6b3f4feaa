#include "ServiceServer.h"

#include <httplib.h>

#include <atomic>
#include <charconv>
#include <mutex>
#include <optional>
#include <regex>
#include <thread>

#include <nlohmann/json.hpp>

#include "JsonFields.h"
#include "PolicyDocument.h"
#include "ReportDocument.h"
#include "RequestChecks.h"
#include "SignInPage.h"
#include "Tokens.h"

namespace tether {

namespace {

using httplib::Request;
using httplib::Response;
using nlohmann::json;

const std::regex kPolicyPath(R"(/v1/devices/[^/]+/policy)");
// The agent joins its base URL and the path as plain text, so a base URL written with a trailing
// slash sends "//v1/policy"; its two routes take any number of leading slashes.
const char* const kAgentPolicyRoute = R"(/+v1/policy)";
const char* const kAgentUsageRoute = R"(/+v1/usage)";
const std::regex kAgentUsagePath(kAgentUsageRoute);

std::string dump(const json& j) {
  return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

void sendJsonText(Response& res, int status, std::string body) {
  res.status = status;
  res.set_content(std::move(body), "application/json");
}

void sendJson(Response& res, int status, const json& body) {
  sendJsonText(res, status, dump(body));
}

void sendDetail(Response& res, int status, const std::string& detail) {
  sendJson(res, status, {{"detail", detail}});
}

std::string defaultDetail(int status) {
  switch (status) {
    case 400:
      return "bad request";
    case 401:
      return "authentication required";
    case 403:
      return "forbidden";
    case 404:
      return "not found";
    case 405:
      return "method not allowed";
    case 408:
      return "request timed out";
    case 413:
      return "request body too large (at most " + std::to_string(ServiceServer::kPolicyBodyLimit) +
             " bytes)";
    case 414:
      return "request URI too long";
    case 415:
      return "unsupported media type";
    case 416:
      return "range not satisfiable";
    case 431:
      return "request headers too large";
    default:
      return status >= 500 ? "internal error" : "request refused";
  }
}

// The token of an "Authorization: Bearer <token>" header; empty when there is none.
std::string bearerToken(const Request& req) {
  return RequestChecks::bearerToken(req.get_header_value("Authorization"));
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

std::string servedPolicy(const DevicePolicy& p) {
  return PolicyDocument::serve(p.rev, p.usageEpoch, p.kept);
}

void setPageHeaders(Response& res) {
  res.set_header(
      "Content-Security-Policy",
      "default-src 'none'; style-src 'unsafe-inline'; frame-ancestors 'none'; base-uri 'none'");
  res.set_header("X-Frame-Options", "DENY");
  res.set_header("Referrer-Policy", "no-referrer");
}

}  // namespace

struct ServiceServer::Impl {
  Impl(ServiceStore& s, Settings settingsIn) : store(s), settings(std::move(settingsIn)) {}

  ServiceStore& store;
  Settings settings;
  httplib::Server http;
  std::atomic<bool> serving{false};
  std::atomic<bool> stopping{false};
  std::once_flag decoyOnce;
  std::string decoyHash;

  void log(const std::string& line) const {
    if (settings.log) settings.log(line);
  }

  void internalError(Response& res, const std::string& what) const {
    log("internal error: " + what);
    sendDetail(res, 500, "internal error");
  }

  static std::size_t bodyLimit(const Request& req) {
    if (req.method == "PUT" && std::regex_match(req.path, kPolicyPath)) return kPolicyBodyLimit;
    if (req.method == "POST" && std::regex_match(req.path, kAgentUsagePath))
      return kReportBodyLimit;
    return kSmallBodyLimit;
  }

  static bool announcesMoreThan(const Request& req, std::size_t limit) {
    if (!req.has_header("Content-Length")) return false;
    const std::string text = req.get_header_value("Content-Length");
    std::size_t length = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), length);
    return ec == std::errc::result_out_of_range || (ec == std::errc() && length > limit);
  }

  static void tooLarge(Response& res, std::size_t limit) {
    res.set_header("Connection", "close");
    sendDetail(
        res, 413,
        "request body too large (at most " + std::to_string(limit) + " bytes for this request)");
  }

  // Reads the whole body into text; false, with the refusal in res, when it is larger than the
  // route allows or cannot be read. A body over the limit is read to its end and dropped, so the
  // client, still sending, surely gets the refusal; httplib itself skips an announced body over
  // the overall limit. Unlike httplib's own reading, this also bounds chunked bodies.
  static bool readBody(const Request& req, Response& res, const httplib::ContentReader& reader,
                       std::string& text) {
    const std::size_t limit = bodyLimit(req);
    bool overflow = false;
    const bool read = reader([&](const char* data, std::size_t length) {
      if (!overflow && length <= limit - text.size()) {
        text.append(data, length);
      } else if (!overflow) {
        overflow = true;
        std::string().swap(text);
      }
      return true;
    });
    if (overflow || (!read && res.status == 413)) {
      tooLarge(res, limit);
      return false;
    }
    if (!read) {
      sendDetail(res, 400, "the request body could not be read");
      return false;
    }
    return true;
  }

  // Reads the body to its end without keeping it, leaving the refusal already in res as it is.
  static void dropBody(Response& res, const httplib::ContentReader& reader) {
    const int status = res.status;
    reader([](const char*, std::size_t) { return true; });
    res.status = status;
  }

  // False, with the refusal in res, for a body not sent as JSON.
  static bool acceptJsonBody(const Request& req, Response& res) {
    if (RequestChecks::isJsonContentType(req.get_header_value("Content-Type"))) return true;
    sendDetail(res, 415, "the request body must be JSON, sent with Content-Type application/json");
    return false;
  }

  // The JSON object in the body, or nothing with the refusal already in res.
  static std::optional<json> jsonBody(const Request& req, const std::string& text, Response& res) {
    if (!acceptJsonBody(req, res)) return std::nullopt;
    try {
      json body = JsonFields::parse(text);
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

  std::optional<Account> requireAccount(const Request& req, Response& res) const {
    const std::string token = bearerToken(req);
    if (token.empty()) {
      res.set_header("WWW-Authenticate", "Bearer");
      sendDetail(res, 401, "missing bearer token");
      return std::nullopt;
    }
    auto account = store.accountForToken(token);
    if (!account) {
      internalError(res, account.error());
      return std::nullopt;
    }
    if (!*account) {
      res.set_header("WWW-Authenticate", "Bearer error=\"invalid_token\"");
      sendDetail(res, 401, "invalid account token");
      return std::nullopt;
    }
    return **account;
  }

  // The account and the device id of a /v1/devices/{id}/... request.
  std::optional<std::pair<Account, int64_t>> requireOwnDevice(const Request& req,
                                                              Response& res) const {
    auto account = requireAccount(req, res);
    if (!account) return std::nullopt;
    const auto id = RequestChecks::parseId(req.matches[1].str());
    if (!id) {
      sendDetail(res, 404, "device not found");
      return std::nullopt;
    }
    return std::make_pair(*account, *id);
  }

  // Answers with the policy, or 404 when the device is not the account's.
  void sendPolicy(Response& res, const Result<std::optional<DevicePolicy>>& policy) const {
    if (!policy) return internalError(res, policy.error());
    if (!*policy) return sendDetail(res, 404, "device not found");
    sendJsonText(res, 200, servedPolicy(**policy));
  }

  void issueLogin(Response& res, const Account& account, int status) const {
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

  // --- accounts -------------------------------------------------------------------------------

  void registerAccount(const Request& req, Response& res, const std::string& text) {
    auto body = jsonBody(req, text, res);
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

  void login(const Request& req, Response& res, const std::string& text) {
    auto body = jsonBody(req, text, res);
    if (!body) return;
    auto email = stringField(*body, "email", res);
    if (!email) return;
    auto password = stringField(*body, "password", res);
    if (!password) return;
    if (RequestChecks::trimmed(*email).empty() || password->empty()) {
      return sendDetail(res, 400, "an e-mail address and a password are required");
    }
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
    issueLogin(res, *account, 200);
  }

  void exchangeCode(const Request& req, Response& res, const std::string& text) {
    auto body = jsonBody(req, text, res);
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

  void createDevice(const Request& req, Response& res, const std::string& text) {
    auto account = requireAccount(req, res);
    if (!account) return;
    auto body = jsonBody(req, text, res);
    if (!body) return;
    auto rawName = stringField(*body, "name", res);
    if (!rawName) return;
    auto name = RequestChecks::checkDeviceName(*rawName);
    if (!name) return sendDetail(res, 400, name.error());
    auto device = store.createDevice(account->id, *name);
    if (!device) return internalError(res, device.error());
    sendJson(res, 201, deviceRecord(*device));
  }

  void getDevicePolicy(const Request& req, Response& res) {
    auto own = requireOwnDevice(req, res);
    if (!own) return;
    sendPolicy(res, store.policy(own->first.id, own->second));
  }

  // The body is read only once the account and its ownership of the device are known, so that
  // nobody else can make the service hold a policy-sized body; theirs is read and dropped.
  void putDevicePolicy(const Request& req, Response& res, const httplib::ContentReader& reader) {
    auto own = requireOwnDevice(req, res);
    bool owned = false;
    if (own) {
      auto owns = store.ownsDevice(own->first.id, own->second);
      if (!owns) {
        internalError(res, owns.error());
      } else if (!*owns) {
        sendDetail(res, 404, "device not found");
      } else {
        owned = true;
      }
    }
    if (!owned) return dropBody(res, reader);
    std::string text;
    if (!readBody(req, res, reader, text) || !acceptJsonBody(req, res)) return;
    auto kept = PolicyDocument::normalize(text);
    if (!kept) return sendDetail(res, 400, kept.error());
    sendPolicy(res, store.setPolicy(own->first.id, own->second, *kept));
  }

  void resetUsage(const Request& req, Response& res) {
    auto own = requireOwnDevice(req, res);
    if (!own) return;
    sendPolicy(res, store.resetUsage(own->first.id, own->second));
  }

  void deviceUsage(const Request& req, Response& res) {
    auto own = requireOwnDevice(req, res);
    if (!own) return;
    auto reports = store.reports(own->first.id, own->second);
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
    const std::string token = bearerToken(req);
    if (token.empty()) {
      res.set_header("WWW-Authenticate", "Bearer");
      return sendDetail(res, 401, "missing bearer token");
    }
    auto policy = store.pollPolicy(token);
    if (!policy) return internalError(res, policy.error());
    if (!*policy) return sendDetail(res, 401, "invalid device token");
    sendJsonText(res, 200, servedPolicy(**policy));
  }

  void upload(const Request& req, Response& res, const std::string& text) {
    const std::string token = bearerToken(req);
    if (token.empty()) {
      res.set_header("WWW-Authenticate", "Bearer");
      return sendDetail(res, 401, "missing bearer token");
    }
    if (!acceptJsonBody(req, res)) return;
    auto report = ReportDocument::check(text);
    if (!report) return sendDetail(res, 400, report.error());
    auto stored = store.recordUsage(token, report->date, report->report, report->apps);
    if (!stored) return internalError(res, stored.error());
    if (!*stored) return sendDetail(res, 401, "invalid device token");
    sendJson(res, 200, {{"date", report->date}});
  }

  // --- web sign-in stand-in -------------------------------------------------------------------

  // The provider of an /oauth/{provider} request, or nothing with the refusal in res.
  static std::optional<std::string> signInProvider(const Request& req, Response& res) {
    const std::string provider = req.matches[1].str();
    if (!SignInPage::providerName(provider)) {
      sendDetail(res, 404, "unknown sign-in provider");
      return std::nullopt;
    }
    if (req.get_param_value("client") != "app") {
      sendDetail(res, 400, "unsupported client: the sign-in page serves ?client=app");
      return std::nullopt;
    }
    return provider;
  }

  static void sendPage(Response& res, int status, const std::string& provider,
                       const std::string& email, const std::string& message) {
    res.status = status;
    setPageHeaders(res);
    res.set_content(SignInPage::render(provider, email, message), "text/html; charset=utf-8");
  }

  void signInPage(const Request& req, Response& res) {
    auto provider = signInProvider(req, res);
    if (!provider) return;
    sendPage(res, 200, *provider, "", "");
  }

  void signInContinue(const Request& req, Response& res, const std::string& text) {
    auto provider = signInProvider(req, res);
    if (!provider) return;
    const std::string raw = RequestChecks::formField(text, "email");
    auto email = RequestChecks::checkEmail(raw);
    if (!email)
      return sendPage(res, 400, *provider, RequestChecks::isUtf8(raw) ? raw : "", email.error());
    auto found = store.findAccount(*email);
    if (!found) return internalError(res, found.error());
    std::optional<Account> account = *found;
    if (account && account->passwordHash) {
      // The stand-in proves nothing about the address, so it never opens an account that is
      // protected by a password.
      return sendPage(res, 409, *provider, *email,
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
    res.set_redirect(SignInPage::callbackURL(*code), 303);
  }

  // --- wiring ---------------------------------------------------------------------------------

  void routes() {
    auto bindTo = [this](void (Impl::*handler)(const Request&, Response&)) {
      return [this, handler](const Request& req, Response& res) { (this->*handler)(req, res); };
    };
    // Handlers with a body read it through here, within the route's limit.
    auto withBody = [this](void (Impl::*handler)(const Request&, Response&, const std::string&)) {
      return
          [this, handler](const Request& req, Response& res, const httplib::ContentReader& reader) {
            std::string text;
            if (readBody(req, res, reader, text)) (this->*handler)(req, res, text);
          };
    };
    http.Post("/v1/register", withBody(&Impl::registerAccount));
    http.Post("/v1/login", withBody(&Impl::login));
    http.Post("/v1/oauth/exchange", withBody(&Impl::exchangeCode));
    http.Get("/v1/devices", bindTo(&Impl::listDevices));
    http.Post("/v1/devices", withBody(&Impl::createDevice));
    http.Get(R"(/v1/devices/([^/]+)/policy)", bindTo(&Impl::getDevicePolicy));
    http.Put(R"(/v1/devices/([^/]+)/policy)",
             [this](const Request& req, Response& res, const httplib::ContentReader& reader) {
               putDevicePolicy(req, res, reader);
             });
    http.Post(R"(/v1/devices/([^/]+)/usage/reset)", bindTo(&Impl::resetUsage));
    http.Get(R"(/v1/devices/([^/]+)/usage)", bindTo(&Impl::deviceUsage));
    http.Get(R"(/v1/devices/([^/]+)/apps)", bindTo(&Impl::deviceApps));
    http.Get(kAgentPolicyRoute, bindTo(&Impl::poll));
    http.Post(kAgentUsageRoute, withBody(&Impl::upload));
    http.Get(R"(/oauth/([^/]+))", bindTo(&Impl::signInPage));
    http.Post(R"(/oauth/([^/]+))", withBody(&Impl::signInContinue));

    http.set_payload_max_length(kPolicyBodyLimit);
    http.set_default_headers(
        {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}});

    // One request per connection: a body left unread, or any other byte left on the connection,
    // is never taken for the start of a next request.
    http.set_keep_alive_max_count(1);
    // A client that waits for "100 Continue" is told at once when its body is too large, and
    // sends nothing more.
    http.set_expect_100_continue_handler([](const Request& req, Response& res) {
      const std::size_t limit = bodyLimit(req);
      if (!announcesMoreThan(req, limit)) return 100;
      tooLarge(res, limit);
      return 413;
    });
    http.set_pre_routing_handler([](const Request& req, Response&) {
      if (!req.has_header("Transfer-Encoding") && !req.has_header("Content-Length")) {
        // A request with neither header has no body, but httplib would wait for one until its
        // read time-out (curl -X POST without data sends such requests). httplib hands the
        // request it owns to this hook as const; announcing the empty body is what the request
        // means.
        const_cast<Request&>(req).set_header("Content-Length", "0");
      }
      return httplib::Server::HandlerResponse::Unhandled;
    });
    // Every refusal carries {"detail": ...}, also those httplib makes itself.
    http.set_error_handler(httplib::Server::HandlerWithResponse([](const Request&, Response& res) {
      if (res.body.empty()) sendDetail(res, res.status, defaultDetail(res.status));
      return httplib::Server::HandlerResponse::Handled;
    }));
    http.set_exception_handler([this](const Request&, Response& res, std::exception_ptr ep) {
      std::string what = "unknown exception";
      try {
        if (ep) std::rethrow_exception(ep);
      } catch (const std::exception& e) {
        what = e.what();
      } catch (...) {
      }
      internalError(res, what);
    });
    http.set_logger([this](const Request& req, const Response& res) {
      log(req.method + " " + req.path + " " + std::to_string(res.status));
    });
  }
};

ServiceServer::ServiceServer(ServiceStore& store, Settings settings)
    : impl_(std::make_unique<Impl>(store, std::move(settings))) {
  impl_->routes();
}

ServiceServer::~ServiceServer() {
  stop();
}

Result<int> ServiceServer::bind(const std::string& host, int port) {
  if (port < 0 || port > 65535)
    return Result<int>::failure("port out of range: " + std::to_string(port));
  if (port == 0) {
    const int chosen = impl_->http.bind_to_any_port(host);
    if (chosen <= 0)
      return Result<int>::failure("cannot listen on " + host + ": no free port or bad address");
    return chosen;
  }
  if (!impl_->http.bind_to_port(host, port)) {
    return Result<int>::failure("cannot listen on " + host + ":" + std::to_string(port) +
                                ": address in use or not available");
  }
  return port;
}

bool ServiceServer::serve() {
  impl_->serving = true;
  if (impl_->stopping) {
    impl_->serving = false;
    return true;
  }
  const bool ok = impl_->http.listen_after_bind();
  impl_->serving = false;
  return ok || impl_->stopping;
}

void ServiceServer::stop() {
  impl_->stopping = true;
  // httplib ignores stop() until its accept loop runs, so keep asking until serve() returns.
  while (impl_->serving) {
    impl_->http.stop();
    if (!impl_->serving) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace tether
