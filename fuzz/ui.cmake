# The desktop app's view model, which reads the engine's list documents.
twk_fuzz(fuzz_ui_view_model ui_view_model_fuzz.cpp twk_ui_model)
