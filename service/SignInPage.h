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

// The page with one e-mail field. The address and the message are shown escaped. client is "app"
// (the setup app) or "web" (the web console).
std::string render(std::string_view provider, std::string_view email, std::string_view message,
                   std::string_view client = "app");

// Where the page sends the code: tether://oauth?code=<code> for the setup app, and
// /#oauth-code=<code> for the web console (the fragment never leaves the browser); the code
// percent-encoded.
std::string callbackURL(std::string_view code, std::string_view client = "app");

}  // namespace SignInPage
}  // namespace tether
