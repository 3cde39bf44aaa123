// The public key the vendor's update lists are signed with (app/self_update.h): the uncompressed
// P-256 point (04, X, Y) in hexadecimal. It is fixed when the program is built (the CMake
// variable TWK_UPDATE_PUBLIC_KEY), never read from the environment or a file, which an attacker
// could change as easily as the endpoint. A test program builds in a key of its own.
#pragma once

#include <string_view>

namespace twk::app {

std::string_view update_public_key_hex();

} // namespace twk::app
