# The control server's request reader and access rules.
twk_fuzz(fuzz_control_request control_request_fuzz.cpp twk_control)
