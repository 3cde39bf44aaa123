# MP4 remux of separate fragmented video and audio tracks. Depends on nothing else of ours.
add_library(twk_mp4 STATIC
  ${CMAKE_CURRENT_LIST_DIR}/mp4_boxes.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mp4_init.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mp4_moov.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mp4_remux.cpp
)
