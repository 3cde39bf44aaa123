// The built-in status page served at "/": control/status_page.html, embedded at build time.
#pragma once

#include <string_view>

namespace twk {

std::string_view status_page();

} // namespace twk
