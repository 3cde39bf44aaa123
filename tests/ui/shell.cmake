# Self-update and diagnostics against a loopback vendor endpoint, with an offscreen window and
# with the tarnwick program itself.
twk_test(ui_shell_tests SOURCES shell_test.cpp lsan_suppressions.cpp ../support/nginx_site.cpp
         LIBS twk_ui twk_test_support)
target_compile_definitions(ui_shell_tests PRIVATE TWK_APP_BINARY="$<TARGET_FILE:tarnwick>")
add_dependencies(ui_shell_tests tarnwick)

# The per-user installer built from this tree's binaries and installed into a temporary HOME.
add_test(NAME ui_setup_run COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/setup_run_test.sh ${CMAKE_BINARY_DIR})
set_tests_properties(ui_setup_run PROPERTIES TIMEOUT 120)
