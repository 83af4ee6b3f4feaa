#include "SignInPage.h"

namespace tether::SignInPage {

std::optional<std::string> providerName(std::string_view provider) {
  if (provider == "apple") return "Apple";
  if (provider == "google") return "Google";
  return std::nullopt;
}

std::string escapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string render(std::string_view provider, std::string_view email, std::string_view message,
                   std::string_view client) {
  static constexpr const char* kStyle =
      "body{font-family:-apple-system,sans-serif;max-width:28em;margin:3em auto;padding:0 1em}"
      "input,button{font-size:1em;padding:.4em}input{width:100%;box-sizing:border-box}"
      ".note{color:#666;font-size:.9em}.error{color:#b00}";
  const std::string name = escapeHtml(providerName(provider).value_or(std::string(provider)));
  std::string page;
  page += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  page += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  page += "<title>Sign in with " + name + "</title>\n";
  page += std::string("<style>") + kStyle + "</style>\n</head>\n<body>\n";
  page += "<h1>Sign in with " + name + "</h1>\n";
  page += "<p class=\"note\">Development sign-in of the Tether reference service: no " + name +
          " account is asked for and nobody checks that the address is yours.</p>\n";
  if (!message.empty()) page += "<p class=\"error\">" + escapeHtml(message) + "</p>\n";
  page += "<form method=\"post\" action=\"/oauth/" + escapeHtml(provider) + "?client=" +
          escapeHtml(client) + "\">\n";
  page += "<p><label for=\"email\">E-mail address</label><br>\n";
  page += "<input id=\"email\" name=\"email\" type=\"email\" autocomplete=\"email\" required ";
  page += "autofocus value=\"" + escapeHtml(email) + "\"></p>\n";
  page += "<p><button type=\"submit\">Continue</button></p>\n</form>\n</body>\n</html>\n";
  return page;
}

std::string callbackURL(std::string_view code, std::string_view client) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = client == "web" ? "/#oauth-code=" : "tether://oauth?code=";
  for (const char ch : code) {
    const auto c = static_cast<unsigned char>(ch);
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.' || c == '~';
    if (plain) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

}  // namespace tether::SignInPage
