#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tether {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// A request as the service's handlers see it: the head as sent, the path decoded, the body
// complete and without its content coding.
struct ServerRequest {
  std::string method;
  std::string target;  // as sent: path and query
  std::string path;    // percent-decoded, without the query
  std::string query;   // after "?", as sent
  HeaderList headers;
  std::string body;
  std::vector<std::string> matches;  // the groups of the route's pattern
  std::string remoteAddress;          // the client's IP address; empty when unknown

  // The first value of a header (names compared without regard to letter case); empty when the
  // request has none.
  std::string header(std::string_view name) const;
  bool hasHeader(std::string_view name) const;
  // A query parameter, decoded ("+" is a blank, %XX a byte); empty when absent.
  std::string param(std::string_view name) const;
};

struct ServerResponse {
  int status = 200;
  HeaderList headers;
  std::string body;

  std::string header(std::string_view name) const;
  // Replaces every header of that name.
  void setHeader(std::string name, std::string value);
  void setContent(std::string content, std::string contentType);

  // A refusal: {"detail": text} with the status.
  static ServerResponse refusal(int status, std::string_view detail);
};

}  // namespace tether
