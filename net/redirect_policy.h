// The redirect policy http_exchange applies between hops: which statuses redirect, how the next
// URL is formed, and what changes in the request, above all when a redirect leaves the origin
// (scheme, host compared case-insensitively, and port of the hop being redirected).
#pragma once

#include "net/http_message.h"
#include "net/url.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace twk {

// 301, 302, 303, 305, 306, 307 and 308.
bool is_redirect_status(int32_t status);

// Same scheme, host (case-insensitive) and port.
bool same_origin(const UrlParts& a, const UrlParts& b);

// Header names kept when a redirect changes origin (compared case-insensitively).
bool is_cross_origin_safe_header(std::string_view name);

// The Referer a browser sends (strict-origin-when-cross-origin) for `referer` on a request to
// `target`: never the user or fragment; nothing from https to http; the referer's origin alone
// to another origin; all of it to its own. Empty when nothing is to be sent.
std::string browser_referer(std::string_view referer, std::string_view target);

// The absolute URL the response redirects to: the Location header cut at its first "#" and
// resolved against `current_url`. Empty when the status does not redirect or the Location is
// unusable, so that the response stands as final.
std::string redirect_target(int32_t status, const std::string& current_url, const HeaderMap& headers);

// Applies a redirect from `from` to `to` to the working method, body and headers: drops unsafe
// headers on a change of origin (for good) and cuts the Referer as a browser does, refuses a cross-origin
// 307/308 of an unsafe method, and turns the method into GET for 303, and for a POST answered by 301 or 302.
bool apply_redirect(int32_t status, const UrlParts& from, const std::string& to, std::string& method,
                    std::string& body, HeaderList& headers, std::string& error);

} // namespace twk
