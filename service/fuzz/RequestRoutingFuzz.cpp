// Fuzz target: the bytes a client sends, through the service's HTTP framing (Beast's parser with
// the service's limits), routing, the checks before a body, content decoding and the handlers,
// against a real store. "@ACCOUNT@" and "@DEVICE@" in the input stand for a parent's account token
// and a device token of that parent, so that inputs can reach past the token checks.
// Every request must get a well-formed answer, or none when it is cut short, and never a 500.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include <boost/beast/http.hpp>

#include "FuzzCheck.h"
#include "ServiceServer.h"
#include "ServiceStore.h"

namespace {

using namespace tether;
namespace http = boost::beast::http;

struct Service {
  std::unique_ptr<ServiceStore> store;
  std::unique_ptr<ServiceServer> server;
  std::string account, device;
  std::size_t requests = 0;

  Service() { reset(); }

  // A fresh database now and then, so that accounts made by the inputs do not pile up.
  void reset() {
    server.reset();
    store.reset();
    store = std::move(*ServiceStore::open(":memory:"));
    ServiceServer::Settings settings;
    settings.passwordCost = PasswordHash::minimal();
    server = std::make_unique<ServiceServer>(*store, settings);
    const auto parent = store->createAccount("parent@example.com", std::nullopt);
    account = *store->issueAccountToken((*parent)->id);
    const auto mac = store->createDevice((*parent)->id, "Mac");
    device = mac->token;
    (void)store->setPolicy((*parent)->id, mac->id,
                           R"({"apps":{},"domainAllow":[],"domainExact":[],"domainLimits":{},)"
                           R"("domains":["example.com"]})");
  }
};

void replace(std::string& text, std::string_view from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Service service;
  if (++service.requests % 1000 == 0) service.reset();
  std::string request(reinterpret_cast<const char*>(data), size);
  replace(request, "@ACCOUNT@", service.account);
  replace(request, "@DEVICE@", service.device);

  const std::string answer = service.server->answer(request);
  if (answer.empty()) return 0;
  http::response_parser<http::string_body> parser;
  parser.body_limit(std::uint64_t{1} << 30);
  parser.eager(true);
  parser.skip(request.starts_with("HEAD "));  // the length of a body not sent
  boost::system::error_code ec;
  parser.put(boost::asio::buffer(answer), ec);
  if (!ec && !parser.is_done()) parser.put_eof(ec);
  FUZZ_CHECK(!ec && parser.is_done());
  const unsigned status = parser.get().result_int();
  FUZZ_CHECK(status >= 200 && status < 500);
  FUZZ_CHECK(!parser.get().keep_alive());
  return 0;
}
