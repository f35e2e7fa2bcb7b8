# Windows build (mingw-w64 i686): the installer, its unit tests for Wine, the test fakes,
# the UI driver and the benchmark programs.
# No -fdata-sections: mingw's GCC then puts every zero-initialised object into a .data$ section
# of its own, so g_setup's 8.5 KB of zeros were stored in the file instead of .bss.
set(MORVELT_WIN_FLAGS -municode -Wall -Wextra -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-asynchronous-unwind-tables -Os
    -ffunction-sections -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -D_WIN32_WINNT=0x0601)
set(MORVELT_STATIC -static -static-libgcc -static-libstdc++ -municode -Wl,--gc-sections)
target_compile_options(morvelt_rules PRIVATE ${MORVELT_WIN_FLAGS})

# Images are generated from source; the resource script pulls them from the build tree.
set(MORVELT_GEN ${CMAKE_BINARY_DIR}/res)
set(MORVELT_IMAGES ${MORVELT_GEN}/title_icon.bmp ${MORVELT_GEN}/logo.bmp ${MORVELT_GEN}/icons.grp
    ${MORVELT_GEN}/icon1.bin ${MORVELT_GEN}/icon2.bin ${MORVELT_GEN}/icon3.bin ${MORVELT_GEN}/icon4.bin)
add_custom_command(OUTPUT ${MORVELT_IMAGES}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/res/make_images.py ${MORVELT_GEN}
    DEPENDS ${CMAKE_SOURCE_DIR}/res/make_images.py
    COMMENT "Generating the installer's images")
add_custom_target(morvelt_images DEPENDS ${MORVELT_IMAGES})

file(GLOB MORVELT_WIN_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/base/*.cpp ${CMAKE_SOURCE_DIR}/net/*.cpp ${CMAKE_SOURCE_DIR}/launch/*.cpp
     ${CMAKE_SOURCE_DIR}/restart/*.cpp ${CMAKE_SOURCE_DIR}/look/*.cpp ${CMAKE_SOURCE_DIR}/session/*.cpp
     ${CMAKE_SOURCE_DIR}/app/*.cpp)
list(REMOVE_ITEM MORVELT_WIN_SOURCES ${MORVELT_RULE_SOURCES})

enable_language(RC)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I${MORVELT_GEN} -I${CMAKE_SOURCE_DIR}/res")
add_executable(MORVELTSetup WIN32 ${MORVELT_WIN_SOURCES} ${CMAKE_SOURCE_DIR}/res/setup.rc)
add_dependencies(MORVELTSetup morvelt_images)
set_source_files_properties(${CMAKE_SOURCE_DIR}/res/setup.rc PROPERTIES
    OBJECT_DEPENDS "${MORVELT_IMAGES};${CMAKE_SOURCE_DIR}/res/setup.manifest")
target_compile_options(MORVELTSetup PRIVATE ${MORVELT_WIN_FLAGS})
# The entry point restricts the DLL search before the C runtime starts (app/dll_search_entry.cpp).
# No link time in the PE header, so the same commit builds the same bytes anywhere (a vendor's
# signed release can be rebuilt and compared by anyone).
target_link_options(MORVELTSetup PRIVATE ${MORVELT_STATIC} -mwindows -s -Wl,-e,_DllSearchEntry -Wl,--no-insert-timestamp)
# urlmon, WinHTTP, ole32, oleaut32, rpcrt4, wintrust and crypt32 are loaded at their first use, after the
# window is painted, from the system folder (base/delay_load.cpp): linked through delay-import libraries made
# from the toolchain's own import libraries, never through those.
set(MORVELT_DELAY_LIBS)
foreach(dll urlmon winhttp ole32 oleaut32 rpcrt4 wintrust crypt32)
    find_library(MORVELT_IMPORT_LIB_${dll} NAMES lib${dll}.a REQUIRED)
    set(delay_lib ${CMAKE_BINARY_DIR}/delay/lib${dll}_delay.a)
    add_custom_command(OUTPUT ${delay_lib}
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/delay_import_lib.py ${CMAKE_AR}
                ${MORVELT_IMPORT_LIB_${dll}} ${dll}.dll ${delay_lib}
        DEPENDS ${CMAKE_SOURCE_DIR}/cmake/delay_import_lib.py ${MORVELT_IMPORT_LIB_${dll}}
        COMMENT "Making the delay-import library of ${dll}.dll")
    list(APPEND MORVELT_DELAY_LIBS ${delay_lib})
endforeach()
add_custom_target(morvelt_delay_libs DEPENDS ${MORVELT_DELAY_LIBS})
add_dependencies(MORVELTSetup morvelt_delay_libs)
target_link_libraries(MORVELTSetup PRIVATE morvelt_rules user32 gdi32 comctl32 advapi32 shell32 shlwapi uuid
    ${MORVELT_DELAY_LIBS})

# The rules' unit tests, cross-built to run under Wine.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
file(GLOB MORVELT_UNIT_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*_test.cpp)
add_executable(unit_tests_win ${MORVELT_UNIT_TESTS})
target_compile_options(unit_tests_win PRIVATE -DUNICODE -D_UNICODE)
target_link_options(unit_tests_win PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(unit_tests_win PRIVATE morvelt_rules GTest::gtest_main)

# Small Windows programs for the tests and the benchmarks: one executable per source file.
function(morvelt_tool_dir dir)
    file(GLOB tools CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
    foreach(src ${tools})
        get_filename_component(name ${src} NAME_WE)
        add_executable(${name} ${src})
        # A resource script beside the source (a manifest, say) is built in with it.
        get_filename_component(folder ${src} DIRECTORY)
        if(EXISTS ${folder}/${name}.rc)
            target_sources(${name} PRIVATE ${folder}/${name}.rc)
        endif()
        target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
        target_compile_options(${name} PRIVATE -municode -Os -DUNICODE -D_UNICODE -D_WIN32_WINNT=0x0601)
        # The baselines are built as the installer is, so that no unwinding runtime weighs on them.
        if(dir STREQUAL "bench")
            target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables)
        endif()
        target_link_options(${name} PRIVATE ${MORVELT_STATIC} -s)
        # Console programs started from a GUI program get a console window under Wine; the
        # fakes stand in for GUI programs. The UI driver and the benchmarks print to a console.
        if(dir STREQUAL "tests/fakes")
            target_link_options(${name} PRIVATE -mwindows)
        endif()
        target_link_libraries(${name} PRIVATE user32 gdi32 comctl32 advapi32 shell32 shlwapi ole32
            oleaut32 urlmon winhttp psapi crypt32 uuid)
    endforeach()
endfunction()
morvelt_tool_dir(tests/fakes)
# The DLL the tests plant under system DLLs' names: its own entry point, no C runtime, kernel32 only.
add_library(planted_mark SHARED ${CMAKE_SOURCE_DIR}/tests/fakes/planted/planted_mark.cpp)
set_target_properties(planted_mark PROPERTIES PREFIX "")
target_compile_options(planted_mark PRIVATE -municode -Os -DUNICODE -D_UNICODE -D_WIN32_WINNT=0x0601)
target_link_options(planted_mark PRIVATE -nostdlib -Wl,-e,_PlantedEntry@12 -s)
target_link_libraries(planted_mark PRIVATE kernel32)
morvelt_tool_dir(tests/driver)
morvelt_tool_dir(bench)
