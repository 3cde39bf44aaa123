// The links the program is started with: `tarnwick URL…` and the `twk:` links a browser or
// the desktop hands it (the scheme handler, ui/tarnwick-url.desktop.in). Pure text in, a
// download URL or an error text out.
//
// Accepted forms:
//   https://host/file                  a download link as it is (http, https, ftp, ftps)
//   twk:https://host/file              the same behind "twk:"
//   twk:https%3A%2F%2Fhost%2Ffile      ... percent-encoded (when no "://" follows "twk:")
//   twk://add?url=https%3A%2F%2Fhost   the "url" parameter of an add link, percent-decoded
// "twk:" and the download link's scheme are matched without regard to case. Anything else is
// refused: another scheme ("only http, https, ftp and ftps links can be downloaded"), a link
// that does not parse ("invalid url"), a bad escape, blanks or control characters, a link
// longer than kMaxLaunchLink.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace twk::app {

inline constexpr size_t kMaxLaunchLink = 8192;

struct LaunchLink {
    bool ok = false;
    std::string url;   // the download link when ok
    std::string error; // why not, otherwise
};

LaunchLink parse_launch_link(std::string_view text);

} // namespace twk::app
