# Finds the Windows Qt for a cross-build: QUORVEX_QT_WINDOWS (cache or environment), or else
# the prebuilt archive unpacked once into the build folder by scripts/windows-qt.
set(QUORVEX_QT_WINDOWS "$ENV{QUORVEX_QT_WINDOWS}" CACHE PATH "Qt for Windows (mingw-w64 build)")
if(NOT QUORVEX_QT_WINDOWS)
    execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/windows-qt ${CMAKE_BINARY_DIR}
                    OUTPUT_VARIABLE unpacked OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "No Qt for Windows: set QUORVEX_QT_WINDOWS or provide the archive")
    endif()
    set(QUORVEX_QT_WINDOWS "${unpacked}" CACHE PATH "Qt for Windows (mingw-w64 build)" FORCE)
endif()
if(NOT EXISTS "${QUORVEX_QT_WINDOWS}/lib/cmake/Qt6/Qt6Config.cmake")
    message(FATAL_ERROR "QUORVEX_QT_WINDOWS=${QUORVEX_QT_WINDOWS} holds no Qt 6")
endif()
# Paths inside a find root are searched as they are, not re-rooted.
list(APPEND CMAKE_FIND_ROOT_PATH "${QUORVEX_QT_WINDOWS}")
list(APPEND CMAKE_PREFIX_PATH "${QUORVEX_QT_WINDOWS}")

# ctest and custom commands run the built Windows programs under wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/windows/wine-run --build ${CMAKE_BINARY_DIR}
                                  --qt ${QUORVEX_QT_WINDOWS})

# The wine prefix is made by the build, once, so that no test's time-out pays for it.
find_program(QUORVEX_WINE64 wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(QUORVEX_WINE64)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/wineprefix/system.reg
                       COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --prepare
                       COMMENT "Making the wine prefix for the test programs" VERBATIM)
    add_custom_target(wineprefix ALL DEPENDS ${CMAKE_BINARY_DIR}/wineprefix/system.reg)
endif()
