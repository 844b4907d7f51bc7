# The host's project-function record, stood in for: for the tests and a command-line host.
add_library(tessarin_host_api_standin STATIC host_api_standin/host_api_standin.cpp)
target_include_directories(tessarin_host_api_standin PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})

# tessarin-host: the command-line CLAP host that streams a file (or an embedded phrase) through
# the built module and exports a stretch of the ring two ways. It reads audio with libsndfile.
tessarin_need("libsndfile1-dev for tessarin-host" ${SNDFILE_FOUND})
if(SNDFILE_FOUND)
    add_executable(tessarin-host
        tessarin_host/main.cpp tessarin_host/options.cpp tessarin_host/audio_input.cpp
        tessarin_host/plugin_host.cpp tessarin_host/report.cpp tessarin_host/wav_io.cpp)
    target_link_libraries(tessarin-host PRIVATE tessarin_companion tessarin_host_api_standin
                                                PkgConfig::SNDFILE ${CMAKE_DL_LIBS})
    target_compile_definitions(tessarin-host PRIVATE
        TESSARIN_DEFAULT_PLUGIN="$<TARGET_FILE:tessarin>")
    add_dependencies(tessarin-host tessarin)
endif()
