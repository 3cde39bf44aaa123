# Self-update and diagnostics. The logic is plain C++ (twk_ui_shell: version check, installer
# download and SHA-256, run and crash markers, resource sampler, diagnostic record); the Qt
# controller that ties it to the window's banner and refresh tick joins twk_ui.
add_library(twk_ui_shell STATIC self_update.cpp diagnostics.cpp)
target_compile_definitions(twk_ui_shell PRIVATE TWK_VERSION="${PROJECT_VERSION}")
target_link_libraries(twk_ui_shell PUBLIC twk_ui_settings twk_net twk_json PRIVATE mbedcrypto)

# The public key update lists must be signed with (ui/update_key.h). A program that is to trust
# another key (a test program, another vendor) compiles update_key.cpp itself with its own
# TWK_UPDATE_PUBLIC_KEY; its own object is linked before this library is searched.
set(TWK_UPDATE_PUBLIC_KEY
    "0449ca087065e79050023833c9ee72e2c446556be4c7f03b069092c5a1752efd0f65af269f5674b1ecdcbdea764547857c58ab53d6d6f62c78c8039761b2b10e9e"
    CACHE STRING "Uncompressed P-256 public key (hex) that signs latest.json")
add_library(twk_update_key STATIC update_key.cpp)
target_compile_definitions(twk_update_key PRIVATE TWK_UPDATE_PUBLIC_KEY="${TWK_UPDATE_PUBLIC_KEY}")
target_link_libraries(twk_ui_shell PUBLIC twk_update_key)

target_sources(twk_ui PRIVATE shell_controller.cpp)
target_link_libraries(twk_ui PUBLIC twk_ui_shell)

include(${CMAKE_CURRENT_LIST_DIR}/package.cmake)
