# One line per test program; see tessarin_test() in CMakeLists.txt.
tessarin_test(shell_test SHM SOURCES shell_test.cpp)
tessarin_test(block_driver_test SHM SOURCES block_driver_test.cpp)
tessarin_test(control_block_test SHM SOURCES control_block_test.cpp)
tessarin_test(capture_test SHM SOURCES capture_test.cpp)
tessarin_test(spectrum_feed_test SHM SOURCES spectrum_feed_test.cpp)
tessarin_test(overview_test SHM SOURCES overview_test.cpp)
tessarin_test(preview_snapshot_test SHM SOURCES preview_snapshot_test.cpp)
tessarin_test(access_trace_test SHM SOURCES access_trace_test.cpp)
