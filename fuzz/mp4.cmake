# The MP4 remux on corrupt init and part files.
twk_fuzz(fuzz_mp4_remux ${CMAKE_CURRENT_LIST_DIR}/mp4_remux_fuzz.cpp twk_mp4)
twk_fuzz(fuzz_mp4_init ${CMAKE_CURRENT_LIST_DIR}/mp4_init_fuzz.cpp twk_mp4)
