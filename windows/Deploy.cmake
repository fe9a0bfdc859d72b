# What a publisher ships beside the game: QuorvexUpdater.exe with exactly the Qt libraries and
# plugins it loads and the compiler's runtime, laid out by `cmake --install` and zipped by CPack.
# Test programs and QuorvexPublish have no install rules, so they never land here.
install(TARGETS QuorvexUpdater RUNTIME DESTINATION .)

foreach(module Core Gui Widgets Network)
    install(FILES $<TARGET_FILE:Qt6::${module}> DESTINATION .)
endforeach()
# Qt looks for plugins in these folders beside the executable.
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
install(FILES $<TARGET_FILE:Qt6::QSchannelBackendPlugin> DESTINATION tls)
# The window icon is an .ico resource: without this plugin the window has no icon.
install(FILES $<TARGET_FILE:Qt6::QICOPlugin> DESTINATION imageformats)
# The native look of the failure dialog; without it Qt draws the classic Windows one.
install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)

# The notices the libraries above ask for, and the updater's own.
set(licenses README.txt LGPL-3.0.txt GPL-3.0.txt Qt.txt)
if(MINGW)
    list(APPEND licenses GCC-runtime.txt winpthreads.txt)
endif()
list(TRANSFORM licenses PREPEND ${CMAKE_CURRENT_LIST_DIR}/licenses/)
install(FILES ${licenses} DESTINATION LICENSES)

if(MINGW)
    foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
            message(FATAL_ERROR "The compiler does not know where ${dll} is")
        endif()
        file(REAL_PATH "${path}" path)
        install(FILES "${path}" DESTINATION .)
    endforeach()
elseif(MSVC)
    set(CMAKE_INSTALL_SYSTEM_RUNTIME_DESTINATION .)
    include(InstallRequiredSystemLibraries)
endif()

# Symbols and debug sections serve no player (Debian's libstdc++ alone carries 22 MB of them):
# every program and library of the package is stripped once it is in place.
if(CMAKE_STRIP AND NOT MSVC)
    install(CODE "set(quorvex_strip \"${CMAKE_STRIP}\")")
    install(CODE [[
        file(GLOB_RECURSE binaries "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/*.exe"
                                   "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/*.dll")
        foreach(binary IN LISTS binaries)
            set(how --strip-unneeded)
            if(binary MATCHES "[.]exe$")
                set(how --strip-all)
            endif()
            execute_process(COMMAND "${quorvex_strip}" ${how} "${binary}" RESULT_VARIABLE status)
            if(NOT status EQUAL 0)
                message(FATAL_ERROR "Could not strip ${binary}")
            endif()
        endforeach()
    ]])
endif()

# QuorvexUpdater-<version>-win64.zip, whose files go straight into the client folder.
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME QuorvexUpdater)
set(CPACK_PACKAGE_FILE_NAME "QuorvexUpdater-${PROJECT_VERSION}-win64")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
