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

if(MINGW)
    foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
            message(FATAL_ERROR "The compiler does not know where ${dll} is")
        endif()
        file(REAL_PATH "${path}" path)
        install(FILES "${path}" DESTINATION .)
        # Debian's libstdc++ carries its debug information: 24 MB instead of 2.
        if(CMAKE_STRIP)
            install(CODE "execute_process(COMMAND ${CMAKE_STRIP} --strip-debug
                                          \"\${CMAKE_INSTALL_PREFIX}/${dll}\")")
        endif()
    endforeach()
elseif(MSVC)
    set(CMAKE_INSTALL_SYSTEM_RUNTIME_DESTINATION .)
    include(InstallRequiredSystemLibraries)
endif()

# QuorvexUpdater-<version>-win64.zip, whose files go straight into the client folder.
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME QuorvexUpdater)
set(CPACK_PACKAGE_FILE_NAME "QuorvexUpdater-${PROJECT_VERSION}-win64")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
