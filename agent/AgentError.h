#pragma once

#include <string>

namespace tether {

// The agent's own errors. text() is what log lines show after their prefix.
class AgentError {
 public:
  enum class Kind { config, http };

  static AgentError config(std::string message) { return AgentError(Kind::config, 0, std::move(message)); }
  static AgentError http(int status, std::string body) { return AgentError(Kind::http, status, std::move(body)); }

  Kind kind() const { return kind_; }
  int status() const { return status_; }
  // config: the message; http: "HTTP " + status + ": " + body
  std::string text() const {
    return kind_ == Kind::config ? detail_ : "HTTP " + std::to_string(status_) + ": " + detail_;
  }

 private:
  AgentError(Kind kind, int status, std::string detail)
      : kind_(kind), status_(status), detail_(std::move(detail)) {}
  Kind kind_;
  int status_;
  std::string detail_;
};

}  // namespace tether
