# Native build: the rules under AddressSanitizer and UndefinedBehaviorSanitizer, their unit
# tests, and the libFuzzer targets (clang only).
set(MORVELT_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
target_compile_options(morvelt_rules PRIVATE ${MORVELT_SANITIZE} -Wall -Wextra)
target_link_options(morvelt_rules PUBLIC ${MORVELT_SANITIZE})

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

enable_testing()
file(GLOB MORVELT_UNIT_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*_test.cpp)
add_executable(unit_tests ${MORVELT_UNIT_TESTS})
target_compile_options(unit_tests PRIVATE ${MORVELT_SANITIZE})
target_link_libraries(unit_tests PRIVATE morvelt_rules GTest::gtest_main)
add_test(NAME unit_tests COMMAND unit_tests)

if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    file(GLOB MORVELT_FUZZERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/*_fuzz.cpp)
    foreach(src ${MORVELT_FUZZERS})
        get_filename_component(name ${src} NAME_WE)
        add_executable(${name} ${src})
        target_compile_options(${name} PRIVATE -fsanitize=fuzzer ${MORVELT_SANITIZE})
        target_link_options(${name} PRIVATE -fsanitize=fuzzer)
        target_link_libraries(${name} PRIVATE morvelt_rules)
    endforeach()
endif()
