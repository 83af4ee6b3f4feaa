#include "ServerMessage.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "RequestChecks.h"

namespace tether {

namespace {

bool sameName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
  });
}

const std::string* find(const HeaderList& headers, std::string_view name) {
  for (const auto& [key, value] : headers) {
    if (sameName(key, name)) return &value;
  }
  return nullptr;
}

}  // namespace

std::string ServerRequest::header(std::string_view name) const {
  const std::string* value = find(headers, name);
  return value ? *value : std::string();
}

bool ServerRequest::hasHeader(std::string_view name) const {
  return find(headers, name) != nullptr;
}

std::string ServerRequest::param(std::string_view name) const {
  return RequestChecks::formField(query, name);
}

std::string ServerResponse::header(std::string_view name) const {
  const std::string* value = find(headers, name);
  return value ? *value : std::string();
}

void ServerResponse::setHeader(std::string name, std::string value) {
  std::erase_if(headers, [&](const auto& h) { return sameName(h.first, name); });
  headers.emplace_back(std::move(name), std::move(value));
}

void ServerResponse::setContent(std::string content, std::string contentType) {
  body = std::move(content);
  setHeader("Content-Type", std::move(contentType));
}

ServerResponse ServerResponse::refusal(int status, std::string_view detail) {
  ServerResponse response;
  response.status = status;
  response.setContent(nlohmann::json{{"detail", std::string(detail)}}.dump(
                          -1, ' ', false, nlohmann::json::error_handler_t::replace),
                      "application/json");
  return response;
}

}  // namespace tether
