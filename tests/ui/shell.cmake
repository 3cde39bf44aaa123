# Self-update and diagnostics against a loopback vendor endpoint, with an offscreen window and
# with the tarnwick program itself.
#
# They trust the test key pair of tests/CMakeLists.txt, as tests/app/ does.

# tarnwick with the test key, under the same name (the crash check matches the program's name).
add_executable(tarnwick_test_key ${PROJECT_SOURCE_DIR}/ui/main.cpp ${PROJECT_SOURCE_DIR}/app/update_key.cpp)
target_link_libraries(tarnwick_test_key PRIVATE twk_ui)
target_compile_definitions(tarnwick_test_key PRIVATE TWK_UPDATE_PUBLIC_KEY="${TWK_TEST_UPDATE_PUBLIC_KEY}")
set_target_properties(tarnwick_test_key PROPERTIES OUTPUT_NAME tarnwick RUNTIME_OUTPUT_DIRECTORY
                                                   ${CMAKE_CURRENT_BINARY_DIR}/test-key)

twk_test(ui_shell_tests SOURCES shell_test.cpp lsan_suppressions.cpp ../support/nginx_site.cpp
         ${PROJECT_SOURCE_DIR}/app/update_key.cpp
         LIBS twk_ui twk_test_support mbedcrypto)
target_compile_definitions(ui_shell_tests PRIVATE TWK_APP_BINARY="$<TARGET_FILE:tarnwick_test_key>"
                           TWK_UPDATE_PUBLIC_KEY="${TWK_TEST_UPDATE_PUBLIC_KEY}"
                           TWK_TEST_UPDATE_PRIVATE_KEY="${TWK_TEST_UPDATE_PRIVATE_KEY}")
add_dependencies(ui_shell_tests tarnwick_test_key)

# The per-user installer built from this tree's binaries and installed into a temporary HOME.
add_test(NAME ui_setup_run COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/setup_run_test.sh ${CMAKE_BINARY_DIR})
set_tests_properties(ui_setup_run PROPERTIES TIMEOUT 120)
