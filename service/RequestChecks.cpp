#include "RequestChecks.h"

#include <charconv>
#include <vector>

namespace tether::RequestChecks {

namespace {

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool hasControlCharacter(std::string_view text) {
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

}  // namespace

std::string trimmed(std::string_view text) {
  const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

bool isUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((c & 0xE0) == 0xC0) {
      len = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, cp = c & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (i + len > text.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

std::size_t characterCount(std::string_view utf8) {
  std::size_t n = 0;
  for (const char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

Result<std::string> checkEmail(std::string_view raw) {
  using R = Result<std::string>;
  const std::string email = trimmed(raw);
  if (email.empty()) return R::failure("an e-mail address is required");
  if (email.size() > kMaxEmailBytes) return R::failure("the e-mail address is too long");
  if (!isUtf8(email)) return R::failure("the e-mail address is not valid text");
  const auto at = email.find('@');
  const bool oneAt = at != std::string::npos && email.find('@', at + 1) == std::string::npos;
  const bool blanks = email.find_first_of(" \t") != std::string::npos || hasControlCharacter(email);
  if (!oneAt || at == 0 || at + 1 == email.size() || blanks || email[at + 1] == '.' ||
      email.back() == '.') {
    return R::failure("\"" + email + "\" is not an e-mail address");
  }
  return email;
}

Result<std::string> checkNewPassword(const std::string& password) {
  using R = Result<std::string>;
  if (characterCount(password) < kMinPasswordCharacters) {
    return R::failure("the password must have at least " + std::to_string(kMinPasswordCharacters) +
                      " characters");
  }
  if (password.size() > kMaxPasswordBytes) {
    return R::failure("the password is too long (at most " + std::to_string(kMaxPasswordBytes) +
                      " bytes)");
  }
  return password;
}

Result<std::string> checkDeviceName(std::string_view raw) {
  using R = Result<std::string>;
  const std::string name = trimmed(raw);
  if (name.empty()) return R::failure("a device name is required");
  if (hasControlCharacter(name)) return R::failure("the device name contains control characters");
  if (characterCount(name) > kMaxDeviceNameCharacters) {
    return R::failure("the device name is too long (at most " +
                      std::to_string(kMaxDeviceNameCharacters) + " characters)");
  }
  return name;
}

bool isJsonContentType(std::string_view value) {
  return lowerAscii(trimmed(value.substr(0, value.find(';')))) == "application/json";
}

std::optional<int64_t> parseId(std::string_view text) {
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value <= 0) return std::nullopt;
  return value;
}

std::string percentDecoded(std::string_view text, bool plusIsBlank) {
  const auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+' && plusIsBlank) {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 &&
               hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string formField(std::string_view body, std::string_view name) {
  const auto decode = [](std::string_view text) { return percentDecoded(text, true); };
  while (!body.empty()) {
    const auto amp = body.find('&');
    const std::string_view pair = body.substr(0, amp);
    body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
    const auto eq = pair.find('=');
    if (decode(pair.substr(0, eq)) != name) continue;
    return eq == std::string_view::npos ? std::string() : decode(pair.substr(eq + 1));
  }
  return {};
}

std::string bearerToken(std::string_view header) {
  if (header.size() < 7 || lowerAscii(header.substr(0, 7)) != "bearer ") return {};
  return trimmed(header.substr(7));
}

namespace {

// The comma-separated items of a header value, without surrounding blanks.
std::vector<std::string> items(std::string_view value) {
  std::vector<std::string> out;
  while (!value.empty()) {
    const auto comma = value.find(',');
    std::string item = trimmed(value.substr(0, comma));
    if (!item.empty()) out.push_back(std::move(item));
    value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
  }
  return out;
}

}  // namespace

bool acceptsGzip(std::string_view acceptEncoding) {
  std::optional<bool> gzip, any;
  for (const std::string& item : items(acceptEncoding)) {
    const auto semicolon = item.find(';');
    const std::string coding = lowerAscii(trimmed(std::string_view(item).substr(0, semicolon)));
    bool wanted = true;
    if (semicolon != std::string::npos) {
      // "q=0", "q=0.0" and "q=0.000" refuse the coding; any other weight takes it.
      const std::string parameter =
          lowerAscii(trimmed(std::string_view(item).substr(semicolon + 1)));
      if (parameter.starts_with("q=")) {
        wanted = parameter.find_first_not_of("0.", 2) != std::string::npos;
      }
    }
    if (coding == "gzip" || coding == "x-gzip") gzip = gzip.value_or(false) || wanted;
    if (coding == "*") any = wanted;
  }
  return gzip ? *gzip : any.value_or(false);
}

bool matchesEntityTag(std::string_view ifNoneMatch, std::string_view entityTag) {
  for (std::string item : items(ifNoneMatch)) {
    if (item == "*") return true;
    if (item.starts_with("W/")) item.erase(0, 2);
    if (item == entityTag) return true;
  }
  return false;
}

}  // namespace tether::RequestChecks
