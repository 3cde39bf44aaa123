# The dialogs offscreen, and the tray icon and the Settings screenshot under Xvfb (with
# stalonetray as the tray host, started by the test).
twk_test(ui_dialog_tests SOURCES dialogs_test.cpp lsan_suppressions.cpp LIBS twk_ui twk_app_engine)
twk_test(ui_tray_tests SOURCES tray_xvfb_test.cpp lsan_suppressions.cpp LIBS twk_ui)
twk_test(ui_link_dialog_tests SOURCES refresh_link_dialog_test.cpp checksum_field_test.cpp lsan_suppressions.cpp LIBS twk_ui)
# New Download's file name and folder, and the answers to the duplicate question.
twk_test(ui_new_download_tests SOURCES new_download_folder_test.cpp lsan_suppressions.cpp LIBS twk_ui)
set_target_properties(ui_new_download_tests PROPERTIES AUTOMOC ON)
# The Settings dialog's download and desktop fields, offscreen, and their way to the engine.
twk_test(ui_settings_tests SOURCES settings_fields_test.cpp lsan_suppressions.cpp LIBS twk_ui twk_app_engine)
