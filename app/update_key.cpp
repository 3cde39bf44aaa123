#include "app/update_key.h"

#ifndef TWK_UPDATE_PUBLIC_KEY
#error "TWK_UPDATE_PUBLIC_KEY must be defined when the program is built"
#endif

namespace twk::app {

std::string_view update_public_key_hex() { return TWK_UPDATE_PUBLIC_KEY; }

} // namespace twk::app
