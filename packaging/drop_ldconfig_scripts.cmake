# CPack post-build script: rebuilds each .deb in CPACK_PACKAGE_FILES without the postinst and
# postrm that only run ldconfig (see package.cmake). Anything else in them is left alone.
foreach(_deb IN LISTS CPACK_PACKAGE_FILES)
    set(_tree ${CPACK_TOPLEVEL_DIRECTORY}/unpacked)
    file(REMOVE_RECURSE ${_tree})
    execute_process(COMMAND dpkg-deb --raw-extract ${_deb} ${_tree} COMMAND_ERROR_IS_FATAL ANY)
    foreach(_script postinst postrm)
        set(_path ${_tree}/DEBIAN/${_script})
        if(NOT EXISTS ${_path})
            continue()
        endif()
        file(READ ${_path} _text)
        # What the generator writes: a shebang, set -e and one ldconfig under one action.
        string(REGEX REPLACE "^#!/bin/sh\n+set -e\n+if \\[ \"\\$1\" = \"[a-z]+\" \\]; then\n\tldconfig\nfi\n*$"
                             "" _rest "${_text}")
        if(NOT _rest STREQUAL "")
            message(FATAL_ERROR "${_script} does more than run ldconfig:\n${_text}")
        endif()
        file(REMOVE ${_path})
    endforeach()
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${_tree} ${_deb}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${_tree})
endforeach()
