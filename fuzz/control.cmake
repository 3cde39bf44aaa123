# The control server's request reader and access rules.
twk_fuzz(fuzz_control_request control_request_fuzz.cpp twk_control)
# The reader of what a WebSocket client sends.
twk_fuzz(fuzz_websocket_frame websocket_frame_fuzz.cpp twk_control)
# The native messaging host's message reader (control/native_host.h).
twk_fuzz(fuzz_native_message native_message_fuzz.cpp twk_control)
