# The update manifest, version comparison, run marker and diagnostic record.
twk_fuzz(fuzz_update_manifest update_manifest_fuzz.cpp twk_app_services)
# The links the program is started with (`tarnwick URL`, twk: links).
twk_fuzz(fuzz_launch_link launch_link_fuzz.cpp twk_app_services)
