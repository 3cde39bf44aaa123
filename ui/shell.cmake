# The Qt controller that ties self-update and diagnostics (app/self_update.h, app/diagnostics.h)
# to the window's banner and refresh tick.
target_sources(twk_ui PRIVATE shell_controller.cpp)

include(${CMAKE_CURRENT_LIST_DIR}/package.cmake)
