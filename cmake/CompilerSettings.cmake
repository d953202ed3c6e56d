# Shared compiler settings: every target of the project links tessaline_options.
add_library(tessaline_options INTERFACE)
target_compile_features(tessaline_options INTERFACE cxx_std_20)
target_compile_options(tessaline_options INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual)
target_compile_definitions(tessaline_options INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_NO_URL_CAST_FROM_STRING
    QT_USE_QSTRINGBUILDER)
if(TESSALINE_WERROR)
    target_compile_options(tessaline_options INTERFACE -Werror)
endif()
# Checked versions of the C library's string and memory functions in optimised builds (the packaged ones); MinGW's
# need libssp, which the runtime beside the program does not have.
if(NOT TESSALINE_SANITIZE AND NOT WIN32)
    target_compile_definitions(tessaline_options INTERFACE $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
endif()
# The sanitizers are the Linux build's: MinGW has no runtime for them.
if(TESSALINE_SANITIZE AND WIN32)
    message(FATAL_ERROR "TESSALINE_SANITIZE is for the Linux build only")
endif()
if(TESSALINE_SANITIZE)
    target_compile_options(tessaline_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer)
    target_link_options(tessaline_options INTERFACE -fsanitize=address,undefined)
endif()
# The fuzzing build (scripts/fuzz): every library gets the fuzzer's coverage instrumentation and the sanitizers; the
# fuzz targets link the fuzzer itself.
if(TESSALINE_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "TESSALINE_FUZZ needs clang (scripts/fuzz configures it)")
    endif()
    target_compile_options(tessaline_options INTERFACE
        -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    target_link_options(tessaline_options INTERFACE -fsanitize=address,undefined)
endif()
# Windows (MinGW-w64): Unicode Win32 calls, Windows 10 as the oldest system, no min/max macros from windows.h.
if(WIN32)
    target_compile_definitions(tessaline_options INTERFACE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                                           _WIN32_WINNT=0x0A00 WINVER=0x0A00)
endif()
