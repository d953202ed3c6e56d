# What the Windows programs run with, copied beside them into bin/: Qt's DLLs, the MinGW runtime (which the Qt folder
# carries) and the plugins (platforms, styles, image formats, TLS) in the folders Qt looks for beside the program.
set(TESSALINE_QT_MINGW_DIR "" CACHE PATH "Qt for MinGW (the folder that holds bin/, lib/ and plugins/)")
if(NOT TESSALINE_QT_MINGW_DIR)
    get_filename_component(TESSALINE_QT_MINGW_DIR "${Qt6_DIR}/../../.." ABSOLUTE)
endif()
set(TESSALINE_WINDOWS_DLLS
    Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll Qt6Network.dll
    libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
set(TESSALINE_WINDOWS_PLUGINS platforms styles imageformats tls)

set(deploy_commands)
foreach(dll ${TESSALINE_WINDOWS_DLLS} Qt6Test.dll)
    list(APPEND deploy_commands COMMAND ${CMAKE_COMMAND} -E copy_if_different
         ${TESSALINE_QT_MINGW_DIR}/bin/${dll} ${PROJECT_BINARY_DIR}/bin/${dll})
endforeach()
foreach(dir ${TESSALINE_WINDOWS_PLUGINS})
    list(APPEND deploy_commands COMMAND ${CMAKE_COMMAND} -E copy_directory
         ${TESSALINE_QT_MINGW_DIR}/plugins/${dir} ${PROJECT_BINARY_DIR}/bin/${dir})
endforeach()
add_custom_target(tessaline_deploy ALL ${deploy_commands}
    COMMENT "Qt's DLLs and plugins beside the Windows programs" VERBATIM)

# The same files go into an installation (the installer and the portable .zip are made from it); the test DLL not.
foreach(dll ${TESSALINE_WINDOWS_DLLS})
    install(FILES ${TESSALINE_QT_MINGW_DIR}/bin/${dll} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()
foreach(dir ${TESSALINE_WINDOWS_PLUGINS})
    install(DIRECTORY ${TESSALINE_QT_MINGW_DIR}/plugins/${dir} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()
