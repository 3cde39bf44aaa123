// The desktop's proxy for a URL, as Linux programs find it: xdg-desktop-portal's
// org.freedesktop.portal.ProxyResolver where a portal runs on the session bus (it answers from
// the desktop's own settings, GNOME's or KDE's, PAC files included), else the http_proxy,
// https_proxy, ftp_proxy, all_proxy and no_proxy variables with curl's rules
// (net/proxy_environment.h). Safe to call from any thread; a call may wait up to
// kPortalTimeoutMs for the portal.
#pragma once

#include "net/proxy_spec.h"

#include <optional>
#include <string>

namespace twk::ui {

constexpr int kPortalTimeoutMs = 2000;

// The portal's answer for `url`: the first proxy of its list that we can use ("direct://"
// and an empty list: kind 0), or nothing when no portal answered.
std::optional<ProxySpec> portal_proxy(const std::string& url);

// The portal's answer where there is one, else the environment's.
ProxySpec system_proxy_for(const std::string& url);

} // namespace twk::ui
