#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tether {

// The development stand-in for the Apple and Google sign-in pages: no identity provider is asked;
// the parent enters an e-mail address and continues, and the page redirects to the setup app's
// "tether" scheme with a one-time code.
namespace SignInPage {

// "Apple" for "apple", "Google" for "google"; nothing for any other provider.
std::optional<std::string> providerName(std::string_view provider);

// Text made safe for HTML element content and quoted attribute values.
std::string escapeHtml(std::string_view text);

// The page with one e-mail field. The address and the message are shown escaped.
std::string render(std::string_view provider, std::string_view email, std::string_view message);

// tether://oauth?code=<code>, the code percent-encoded.
std::string callbackURL(std::string_view code);

}  // namespace SignInPage
}  // namespace tether
