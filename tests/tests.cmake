# One line per test program; see tessarin_test() in CMakeLists.txt.
tessarin_test(shell_test SHM SOURCES shell_test.cpp)
tessarin_test(wav_writer_test SOURCES wav_writer_test.cpp LIBS PkgConfig::SNDFILE)
tessarin_test(host_insertion_test SOURCES host_insertion_test.cpp
              LIBS PkgConfig::SNDFILE tessarin_host_api_standin)
tessarin_test(block_driver_test SHM SOURCES block_driver_test.cpp)
tessarin_test(control_block_test SHM SOURCES control_block_test.cpp)
tessarin_test(meter_test SOURCES meter_test.cpp LIBS PkgConfig::EBUR128)
tessarin_test(capture_test SHM SOURCES capture_test.cpp)
tessarin_test(insertion_plugin_test SHM SOURCES insertion_plugin_test.cpp
              LIBS PkgConfig::SNDFILE tessarin_host_api_standin)
tessarin_test(insertion_tsan_test SHM SOURCES insertion_tsan_test.cpp
              LIBS PkgConfig::SNDFILE tessarin_host_api_standin LABELS tsan)
tessarin_test(meter_plugin_test SHM SOURCES meter_plugin_test.cpp)
tessarin_test(spectrum_feed_test SHM SOURCES spectrum_feed_test.cpp)
tessarin_test(overview_test SHM SOURCES overview_test.cpp)
tessarin_test(preview_snapshot_test SHM SOURCES preview_snapshot_test.cpp)
tessarin_test(tessarin_host_test SHM SOURCES tessarin_host_test.cpp
              LIBS PkgConfig::SNDFILE PkgConfig::EBUR128)
target_compile_definitions(tessarin_host_test PRIVATE TESSARIN_HOST_PATH="$<TARGET_FILE:tessarin-host>")
add_dependencies(tessarin_host_test tessarin-host)
tessarin_test(access_trace_test SHM SOURCES access_trace_test.cpp)
tessarin_test(segment_space_test SHM SOURCES segment_space_test.cpp)
tessarin_test(engine_test SHM SOURCES engine_test.cpp takes_test.cpp capture_copy_test.cpp LIBS tessarin_daemon PkgConfig::SNDFILE)
tessarin_test(exporter_test SOURCES exporter_test.cpp
              LIBS tessarin_daemon PkgConfig::SNDFILE PkgConfig::EBUR128)
tessarin_test(dsp_test SOURCES dsp_test.cpp LIBS tessarin_daemon)
tessarin_test(feed_reader_test SHM SOURCES feed_reader_test.cpp LIBS tessarin_daemon)
tessarin_test(http_server_test SOURCES http_server_test.cpp LIBS tessarin_daemon)
tessarin_test(cli_test SOURCES cli_test.cpp token_proof_test.cpp LIBS tessarin_daemon)
tessarin_test(segment_ownership_test SHM SOURCES segment_ownership_test.cpp LIBS tessarin_daemon)
tessarin_test(companion_daemon_test SHM SOURCES companion_daemon_test.cpp)
add_dependencies(companion_daemon_test tessarin-companion)
tessarin_test(http_hardening_test SOURCES http_hardening_test.cpp LIBS tessarin_daemon)
tessarin_test(history_test SOURCES history_test.cpp
              LIBS tessarin_daemon PkgConfig::SNDFILE PkgConfig::EBUR128)
tessarin_test(history_routes_test SOURCES history_routes_test.cpp
              LIBS tessarin_daemon PkgConfig::SNDFILE)
