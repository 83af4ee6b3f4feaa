#include "HttpServer.h"

#include <atomic>
#include <exception>
#include <limits>
#include <sstream>
#include <variant>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include "Gzip.h"
#include "RequestChecks.h"
#include "platform/ThreadPriority.h"

namespace tether {

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using boost::system::error_code;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using Parser = http::request_parser<http::string_body>;
using Handler = HttpServer::Handler;
using TlsStream = asio::ssl::stream<tcp::socket>;

// A parser for one request: the head within the limit, and no bound on the body yet (the route
// decides it once the head is in; an announced length is checked against it then).
std::unique_ptr<Parser> makeParser() {
  auto parser = std::make_unique<Parser>();
  parser->header_limit(HttpServer::kHeadLimit);
  // (Not boost::none: Boost 1.74 compares an announced length with it and refuses every body.)
  parser->body_limit(std::numeric_limits<std::uint64_t>::max());
  parser->eager(false);
  return parser;
}

ServerResponse tooLarge(std::size_t limit) {
  return ServerResponse::refusal(
      413, "request body too large (at most " + std::to_string(limit) + " bytes for this request)");
}

// The answer to a request whose head could not be read, or nothing when there is no one to
// answer (the client went away).
std::optional<ServerResponse> headFailure(const error_code& ec) {
  if (ec == http::error::end_of_stream || ec == http::error::partial_message ||
      ec == asio::error::eof || ec == asio::error::connection_reset ||
      ec == asio::error::operation_aborted) {
    return std::nullopt;
  }
  if (ec == http::error::header_limit)
    return ServerResponse::refusal(431, "request headers too large");
  return ServerResponse::refusal(400, "bad request");
}

// The same for a body.
std::optional<ServerResponse> bodyFailure(const error_code& ec, std::size_t limit) {
  if (ec == http::error::body_limit) return tooLarge(limit);
  if (ec == http::error::end_of_stream || ec == http::error::partial_message ||
      ec == asio::error::eof || ec == asio::error::connection_reset ||
      ec == asio::error::operation_aborted) {
    return std::nullopt;
  }
  return ServerResponse::refusal(400, "the request body could not be read");
}

// The request's head as the handler sees it, or the answer that refuses it.
std::variant<ServerRequest, ServerResponse> requestHead(const Parser& parser) {
  const auto& message = parser.get();
  if (message.target().size() > HttpServer::kTargetLimit) {
    return ServerResponse::refusal(414, "request URI too long");
  }
  ServerRequest request;
  request.method = std::string(message.method_string());
  request.target = std::string(message.target());
  const auto question = request.target.find('?');
  request.path =
      RequestChecks::percentDecoded(std::string_view(request.target).substr(0, question), false);
  if (question != std::string::npos) request.query = request.target.substr(question + 1);
  for (const auto& field : message) {
    request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  return request;
}

// A refusal when the body announced is longer than the request may carry.
std::optional<ServerResponse> announcedTooLarge(const Parser& parser, std::size_t limit) {
  const auto length = parser.content_length();
  if (length && *length > limit) return tooLarge(limit);
  return std::nullopt;
}

// Takes off the body's content coding; a refusal when that fails.
std::optional<ServerResponse> decodeBody(ServerRequest& request, std::size_t limit) {
  std::string coding = request.header("Content-Encoding");
  for (char& c : coding) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  if (coding.empty() || coding == "identity") return std::nullopt;
  if (coding != "gzip" && coding != "x-gzip") {
    return ServerResponse::refusal(415, "unsupported content encoding \"" +
                                            request.header("Content-Encoding") +
                                            "\" (the service accepts gzip)");
  }
  auto decoded = Gzip::decompress(request.body, limit);
  if (!decoded) {
    if (decoded.error() == Gzip::kTooLarge) return tooLarge(limit);
    return ServerResponse::refusal(400,
                                   "the request body could not be decoded: " + decoded.error());
  }
  request.body = std::move(*decoded);
  return std::nullopt;
}

// The handler's call, with any exception turned into a 500 and a log line.
template <class F>
auto guarded(Handler& handler, F&& call) -> decltype(call()) {
  std::string what;
  try {
    return call();
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
    what = "unknown exception";
  }
  handler.log("internal error: " + what);
  using R = decltype(call());
  if constexpr (std::is_same_v<R, ServerResponse>) {
    return ServerResponse::refusal(500, "internal error");
  } else {
    return R{0, ServerResponse::refusal(500, "internal error")};
  }
}

ServerResponse respond(Handler& handler, ServerRequest& request, std::size_t limit) {
  return guarded(handler, [&] {
    if (auto refusal = decodeBody(request, limit)) return std::move(*refusal);
    return handler.respond(request);
  });
}

// The message written back: one answer, then the connection is closed.
http::response<http::string_body> message(const ServerRequest* request, ServerResponse response,
                                          unsigned version) {
  http::response<http::string_body> out;
  out.version(version == 10 ? 10 : 11);
  out.result(static_cast<unsigned>(response.status));
  for (auto& [name, value] : response.headers) out.insert(name, value);
  if (response.header("Cache-Control").empty()) out.set(http::field::cache_control, "no-store");
  out.set("X-Content-Type-Options", "nosniff");
  out.keep_alive(false);
  const bool head = request && request->method == "HEAD";
  const std::size_t length = response.body.size();
  if (!head) out.body() = std::move(response.body);
  out.prepare_payload();
  if (head && response.status != 304 && response.status != 204) out.content_length(length);
  return out;
}

std::string lineFor(const ServerRequest& request, int status) {
  return request.method + " " + request.path + " " + std::to_string(status);
}

// --- one connection ------------------------------------------------------------------------------

// What the connections share: the handler, the limits, the count of open connections and the
// workers.
struct Shared {
  Shared(Handler& h, HttpServer::Limits l) : handler(h), limits(l), pool(std::max(1u, l.workers)) {
    limits.minRate = std::max<std::size_t>(1, limits.minRate);
    asio::post(heavy, [] { ThreadPriority::lowerCurrentThread(); });
  }
  Handler& handler;
  HttpServer::Limits limits;
  std::atomic<std::size_t> open{0};
  asio::thread_pool pool;
  // The one worker for requests with bodies over limits.heavyBody.
  asio::thread_pool heavy{1};
  // Present when the server speaks HTTPS.
  std::unique_ptr<asio::ssl::context> tls;
};

tcp::socket& lowest(tcp::socket& s) { return s; }
tcp::socket& lowest(TlsStream& s) { return s.next_layer(); }

// Stream: tcp::socket for HTTP, TlsStream for HTTPS.
template <class Stream>
class Connection : public std::enable_shared_from_this<Connection<Stream>> {
 public:
  Connection(Shared& server, Stream stream)
      : server_(server), socket_(std::move(stream)), timer_(socket_.get_executor()) {}

  void start() {
    error_code ignored;
    lowest(socket_).set_option(tcp::no_delay(true), ignored);
    setDeadline(Clock::now() + server_.limits.idle);
    if constexpr (std::is_same_v<Stream, TlsStream>) {
      // The handshake comes within the idle time, as the first bytes of a request would.
      socket_.async_handshake(asio::ssl::stream_base::server,
                              [self = this->shared_from_this()](error_code ec) {
                                if (ec) return self->close();
                                self->readFirstBytes();
                              });
    } else {
      readFirstBytes();
    }
  }

 private:
  void readFirstBytes() {
    socket_.async_read_some(
        buffer_.prepare(4096),
        [self = this->shared_from_this()](error_code ec, std::size_t n) {
          self->onFirstBytes(ec, n);
        });
  }

  void onFirstBytes(error_code ec, std::size_t n) {
    if (ec) return close();  // idle, or gone before saying anything
    buffer_.commit(n);
    setDeadline(Clock::now() + server_.limits.head);
    http::async_read_header(
        socket_, buffer_, *parser_,
        [self = this->shared_from_this()](error_code e, std::size_t) { self->onHead(e); });
  }

  void onHead(error_code ec) {
    if (timedOut_) return answer(ServerResponse::refusal(408, "request timed out"));
    if (ec) {
      if (auto refusal = headFailure(ec)) return answer(std::move(*refusal));
      return close();
    }
    auto head = requestHead(*parser_);
    if (auto* refusal = std::get_if<ServerResponse>(&head)) return answer(std::move(*refusal));
    request_ = std::move(std::get<ServerRequest>(head));
    error_code ignored;
    const auto peer = lowest(socket_).remote_endpoint(ignored);
    if (!ignored) request_.remoteAddress = peer.address().to_string();
    haveRequest_ = true;
    asio::post(server_.pool, [self = this->shared_from_this()] {
      auto admission = guarded(self->server_.handler,
                               [&] { return self->server_.handler.admit(self->request_); });
      asio::post(self->socket_.get_executor(), [self, admission = std::move(admission)]() mutable {
        self->onAdmitted(std::move(admission));
      });
    });
  }

  void onAdmitted(Handler::Admission admission) {
    if (admission.refusal) return answer(std::move(*admission.refusal));
    bodyLimit_ = admission.bodyLimit;
    if (auto refusal = announcedTooLarge(*parser_, bodyLimit_)) return answer(std::move(*refusal));
    if (parser_->is_done()) return onBodyComplete();
    parser_->body_limit(bodyLimit_);
    bodyStart_ = Clock::now();
    if (!boost::beast::iequals(request_.header("Expect"), "100-continue")) return readBody();
    // The client waits for this before it sends the body.
    continue_ = std::make_unique<http::response<http::empty_body>>(http::status::continue_, 11);
    setDeadline(Clock::now() + server_.limits.head);
    http::async_write(socket_, *continue_, [self = this->shared_from_this()](error_code e, std::size_t) {
      if (e) return self->close();
      self->readBody();
    });
  }

  // The body must keep up the minimum rate, counted from the end of the head, after a start as
  // long as the head's allowance.
  void readBody() {
    const auto allowance = std::chrono::milliseconds(bodyBytes_ * 1000 / server_.limits.minRate);
    setDeadline(bodyStart_ + server_.limits.head + allowance);
    http::async_read_some(
        socket_, buffer_, *parser_,
        [self = this->shared_from_this()](error_code ec, std::size_t n) { self->onBody(ec, n); });
  }

  void onBody(error_code ec, std::size_t n) {
    bodyBytes_ += n;
    if (timedOut_) return answer(ServerResponse::refusal(408, "request timed out"));
    if (ec) {
      if (auto refusal = bodyFailure(ec, bodyLimit_)) return answer(std::move(*refusal));
      return close();
    }
    if (!parser_->is_done()) return readBody();
    onBodyComplete();
  }

  void onBodyComplete() {
    request_.body = std::move(parser_->get().body());
    // The timer stays quiet while a worker has the request.
    setDeadline(Clock::time_point::max());
    auto& workers =
        request_.body.size() > server_.limits.heavyBody ? server_.heavy : server_.pool;
    asio::post(workers, [self = this->shared_from_this()] {
      ServerResponse response = respond(self->server_.handler, self->request_, self->bodyLimit_);
      asio::post(self->socket_.get_executor(), [self, response = std::move(response)]() mutable {
        self->answer(std::move(response));
      });
    });
  }

  void answer(ServerResponse response) {
    if (closed_) return;
    const int status = response.status;
    if (haveRequest_) server_.handler.log(lineFor(request_, status));
    response_ =
        message(haveRequest_ ? &request_ : nullptr, std::move(response), parser_->get().version());
    const auto allowance =
        std::chrono::milliseconds(response_.body().size() * 1000 / server_.limits.minRate);
    setDeadline(Clock::now() + server_.limits.head + allowance);
    http::async_write(socket_, response_, [self = this->shared_from_this()](error_code ec, std::size_t) {
      if (ec) return self->close();
      self->linger();
    });
  }

  // Half-closes, then reads whatever the client still sends until it closes too, for a short
  // while: closing with unread bytes would reset the connection, and the client might lose the
  // answer.
  void linger() {
    response_ = {};
    parser_.reset();
    buffer_.clear();
    buffer_.shrink_to_fit();
    request_ = ServerRequest();
    setDeadline(Clock::now() + server_.limits.linger);
    if constexpr (std::is_same_v<Stream, TlsStream>) {
      // close_notify, so the client knows the answer is whole; then wait for the client's.
      socket_.async_shutdown([self = this->shared_from_this()](error_code) { self->close(); });
    } else {
      error_code ignored;
      socket_.shutdown(tcp::socket::shutdown_send, ignored);
      drain();
    }
  }

  void drain() {
    if (!scratch_) scratch_ = std::make_unique<char[]>(kScratch);
    socket_.async_read_some(asio::buffer(scratch_.get(), kScratch),
                            [self = this->shared_from_this()](error_code ec, std::size_t) {
                              if (ec) return self->close();
                              self->drain();
                            });
  }

  void close() {
    if (closed_) return;
    closed_ = true;
    timer_.cancel();
    error_code ignored;
    lowest(socket_).close(ignored);
    --server_.open;
  }

  // The one deadline of the connection's current step: once it passes, the step's operation is
  // cancelled and timedOut_ tells its handler why.
  void setDeadline(Clock::time_point when) {
    timedOut_ = false;
    timer_.expires_at(when);
    if (when == Clock::time_point::max()) return;
    timer_.async_wait([self = this->shared_from_this()](error_code ec) {
      // A wait whose deadline was moved meanwhile may still arrive without an error.
      if (ec || self->closed_ || self->timer_.expiry() > Clock::now()) return;
      self->timedOut_ = true;
      error_code ignored;
      lowest(self->socket_).cancel(ignored);
    });
  }

  static constexpr std::size_t kScratch = 64 * 1024;

  Shared& server_;
  Stream socket_;
  asio::steady_timer timer_;
  boost::beast::flat_buffer buffer_;
  std::unique_ptr<Parser> parser_ = makeParser();
  ServerRequest request_;
  bool haveRequest_ = false;
  std::size_t bodyLimit_ = 0;
  Clock::time_point bodyStart_;
  std::size_t bodyBytes_ = 0;
  bool timedOut_ = false;
  bool closed_ = false;
  std::unique_ptr<http::response<http::empty_body>> continue_;
  http::response<http::string_body> response_;
  std::unique_ptr<char[]> scratch_;
};

}  // namespace

struct HttpServer::Impl {
  Impl(Handler& handler, Limits limits) : shared(handler, limits) {}
  ~Impl() {
    io.stop();
    // Requests not yet taken up are dropped.
    shared.pool.stop();
    shared.heavy.stop();
    shared.pool.join();
    shared.heavy.join();
  }

  void accept() {
    acceptor.async_accept([this](error_code ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
      if (ec) {
        // Out of descriptors or memory: try again shortly rather than spin.
        if (!acceptFailureLogged) shared.handler.log("accept failed: " + ec.message());
        acceptFailureLogged = true;
        acceptRetry.expires_after(std::chrono::milliseconds(100));
        acceptRetry.async_wait([this](error_code e) {
          if (!e) accept();
        });
        return;
      }
      acceptFailureLogged = false;
      if (shared.open.load() >= shared.limits.maxConnections) {
        error_code ignored;
        socket.close(ignored);  // refused at once
      } else {
        ++shared.open;
        if (shared.tls) {
          std::make_shared<Connection<TlsStream>>(shared, TlsStream(std::move(socket), *shared.tls))
              ->start();
        } else {
          std::make_shared<Connection<tcp::socket>>(shared, std::move(socket))->start();
        }
      }
      accept();
    });
  }

  // The workers go before the connections they may still hold, and those before the io_context.
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  asio::steady_timer acceptRetry{io};
  Shared shared;
  std::atomic<bool> stopping{false};
  bool bound = false;
  bool acceptFailureLogged = false;
};

// --- the server ----------------------------------------------------------------------------------

HttpServer::HttpServer(Handler& handler, Limits limits)
    : impl_(std::make_unique<Impl>(handler, limits)) {}

HttpServer::~HttpServer() {
  stop();
}

Result<int> HttpServer::bind(const std::string& host, int port) {
  using R = Result<int>;
  const std::string shown =
      (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
  if (port < 0 || port > 65535) return R::failure("port out of range: " + std::to_string(port));
  error_code ec;
  tcp::resolver resolver(impl_->io);
  const auto found = resolver.resolve(host, std::to_string(port),
                                      tcp::resolver::passive | tcp::resolver::numeric_service, ec);
  if (ec || found.empty()) {
    return R::failure("cannot listen on " + shown + ": " +
                      (ec ? ec.message() : std::string("no address")));
  }
  const tcp::endpoint endpoint = found.begin()->endpoint();
  tcp::acceptor& acceptor = impl_->acceptor;
  acceptor.open(endpoint.protocol(), ec);
  // SO_REUSEADDR lets a restarted service take its port while old connections wait out their
  // TIME_WAIT; it never lets two listening sockets share the address (SO_REUSEPORT would).
  if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (!ec) {
    const auto local = acceptor.local_endpoint(ec);
    if (!ec) {
      impl_->bound = true;
      return static_cast<int>(local.port());
    }
  }
  error_code ignored;
  acceptor.close(ignored);
  return R::failure("cannot listen on " + shown + ": " + ec.message());
}

Result<bool> HttpServer::useTls(const std::string& certificateChain,
                                const std::string& privateKey) {
  using R = Result<bool>;
  auto context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
  context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                       asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                       asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
  error_code ec;
  context->use_certificate_chain_file(certificateChain, ec);
  if (ec) return R::failure("cannot use the certificate " + certificateChain + ": " + ec.message());
  context->use_private_key_file(privateKey, asio::ssl::context::pem, ec);
  if (ec) return R::failure("cannot use the private key " + privateKey + ": " + ec.message());
  if (SSL_CTX_check_private_key(context->native_handle()) != 1) {
    return R::failure("the private key " + privateKey + " does not belong to the certificate " +
                      certificateChain);
  }
  impl_->shared.tls = std::move(context);
  return true;
}

bool HttpServer::serve() {
  if (!impl_->bound) return false;
  if (impl_->stopping) return true;
  impl_->accept();
  impl_->io.run();
  return true;
}

void HttpServer::stop() {
  impl_->stopping = true;
  impl_->io.stop();
}

// --- without a socket ----------------------------------------------------------------------------

std::string HttpServer::answer(Handler& handler, std::string_view bytes) {
  auto parser = makeParser();
  std::optional<ServerRequest> request;
  const auto written = [&](ServerResponse response) {
    if (request) handler.log(lineFor(*request, response.status));
    std::ostringstream out;
    out << message(request ? &*request : nullptr, std::move(response),
                   parser->is_header_done() ? parser->get().version() : 11);
    return out.str();
  };
  // Offers the parser what it still needs, as the socket would.
  const auto feed = [&](error_code& ec) {
    const std::size_t used = parser->put(asio::buffer(bytes.data(), bytes.size()), ec);
    bytes.remove_prefix(used);
    // Everything the client sent is offered at once: a parser that needs more, or takes nothing,
    // has seen a request cut short.
    if (ec == http::error::need_more || !ec) {
      ec = used == 0 ? error_code(http::error::partial_message) : error_code();
    }
  };

  error_code ec;
  while (!ec && !parser->is_header_done()) feed(ec);
  if (ec) {
    auto refusal = headFailure(ec);
    return refusal ? written(std::move(*refusal)) : std::string();
  }
  auto head = requestHead(*parser);
  if (auto* refusal = std::get_if<ServerResponse>(&head)) return written(std::move(*refusal));
  request = std::move(std::get<ServerRequest>(head));
  const auto admission = guarded(handler, [&] { return handler.admit(*request); });
  if (admission.refusal) return written(*admission.refusal);
  if (auto refusal = announcedTooLarge(*parser, admission.bodyLimit)) {
    return written(std::move(*refusal));
  }
  parser->body_limit(admission.bodyLimit);
  parser->eager(true);
  while (!ec && !parser->is_done()) feed(ec);
  if (ec) {
    auto refusal = bodyFailure(ec, admission.bodyLimit);
    return refusal ? written(std::move(*refusal)) : std::string();
  }
  request->body = std::move(parser->get().body());
  return written(respond(handler, *request, admission.bodyLimit));
}

}  // namespace tether
