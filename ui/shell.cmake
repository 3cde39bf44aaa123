# Self-update and diagnostics. The logic is plain C++ (twk_ui_shell: version check, installer
# download and SHA-256, run and crash markers, resource sampler, diagnostic record); the Qt
# controller that ties it to the window's banner and refresh tick joins twk_ui.
add_library(twk_ui_shell STATIC self_update.cpp diagnostics.cpp)
target_compile_definitions(twk_ui_shell PRIVATE TWK_VERSION="${PROJECT_VERSION}")
target_link_libraries(twk_ui_shell PUBLIC twk_ui_settings twk_net twk_json PRIVATE mbedcrypto)

target_sources(twk_ui PRIVATE shell_controller.cpp)
target_link_libraries(twk_ui PUBLIC twk_ui_shell)

include(${CMAKE_CURRENT_LIST_DIR}/package.cmake)
