#include "LoginResponse.h"

#include "JsonFields.h"

namespace tether {

std::optional<LoginResponse> LoginResponse::decode(QByteArrayView body) {
  namespace J = JsonFields;
  try {
    const J::json doc = J::parse(std::string_view(body.data(), static_cast<std::size_t>(body.size())));
    J::requireObject(doc, "");
    LoginResponse response;
    response.email = QString::fromStdString(J::asString(J::require(doc, "email", ""), "email"));
    response.apiToken = QString::fromStdString(J::asString(J::require(doc, "apiToken", ""), "apiToken"));
    response.userId = J::asInteger(J::require(doc, "userId", ""), "userId");
    return response;
  } catch (const DecodeError&) {
    return std::nullopt;
  }
}

}  // namespace tether
