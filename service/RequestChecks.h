#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Result.h"

namespace tether {

// Checks on the small values that arrive in requests: addresses, passwords, names, ids, headers.
namespace RequestChecks {

inline constexpr std::size_t kMaxEmailBytes = 254;
inline constexpr std::size_t kMinPasswordCharacters = 8;
inline constexpr std::size_t kMaxPasswordBytes = 1024;
inline constexpr std::size_t kMaxDeviceNameCharacters = 100;

// Without leading and trailing blanks (space, tab, CR, LF).
std::string trimmed(std::string_view text);
// Well-formed UTF-8: no overlong forms, surrogates or values beyond U+10FFFF.
bool isUtf8(std::string_view text);
// Code points of UTF-8 text.
std::size_t characterCount(std::string_view utf8);

// The address without surrounding blanks: one "@" with text on both sides, no blanks or control
// characters, at most 254 bytes. Otherwise the reason it is refused.
Result<std::string> checkEmail(std::string_view raw);
// A new password: at least 8 characters and at most 1024 bytes. Returns it unchanged.
Result<std::string> checkNewPassword(const std::string& password);
// The name without surrounding blanks: not empty, no control characters, at most 100 characters.
Result<std::string> checkDeviceName(std::string_view raw);

// "application/json", with any parameters, in any letter case.
bool isJsonContentType(std::string_view value);
// A positive decimal id; nothing for anything else.
std::optional<int64_t> parseId(std::string_view text);
// %XX sequences as the bytes they stand for (others left as they are), and "+" as a blank when
// asked to (in form fields and queries, not in paths).
std::string percentDecoded(std::string_view text, bool plusIsBlank);
// The first value of a field in an application/x-www-form-urlencoded body, decoded ("+" is a
// blank, %XX a byte); empty when the field is absent.
std::string formField(std::string_view body, std::string_view name);
// The token of an Authorization header value "Bearer <token>"; empty when there is none.
std::string bearerToken(std::string_view header);
// Whether an Accept-Encoding value takes gzip: "gzip", "x-gzip" or "*" with a weight above 0.
bool acceptsGzip(std::string_view acceptEncoding);
// Whether an If-None-Match value names the entity tag (quotes included), "W/" tags compared as
// strong ones, or is "*".
bool matchesEntityTag(std::string_view ifNoneMatch, std::string_view entityTag);

}  // namespace RequestChecks
}  // namespace tether
