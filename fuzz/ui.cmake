# The desktop app's view model, on whatever task lists the engine might report.
twk_fuzz(fuzz_ui_view_model ui_view_model_fuzz.cpp twk_ui_model)
