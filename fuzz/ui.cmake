# The desktop app's view model, on whatever task lists the engine might report.
twk_fuzz(fuzz_ui_view_model ui_view_model_fuzz.cpp twk_ui_model)
# The update manifest, version comparison, run marker and diagnostic record.
twk_fuzz(fuzz_update_manifest update_manifest_fuzz.cpp twk_ui_shell)
