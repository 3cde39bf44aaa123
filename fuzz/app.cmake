# The update manifest, version comparison, run marker and diagnostic record.
twk_fuzz(fuzz_update_manifest update_manifest_fuzz.cpp twk_app_services)
