#The MP4 remux : box reading and writing on hand - made fragments, and real media made by ffmpeg.
twk_test(media_mp4_tests SOURCES ${CMAKE_CURRENT_LIST_DIR} / mp4_boxes_test.cpp ${CMAKE_CURRENT_LIST_DIR} /
         mp4_remux_test.cpp ${CMAKE_CURRENT_LIST_DIR} / mp4_ffmpeg_test.cpp LIBS twk_mp4)
