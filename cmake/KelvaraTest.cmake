# kelvara_add_test(<name> SOURCES <files...> LIBS <targets...> [GUI] [PRIVATE_MOUNTS] [TIMEOUT <s>])
# One Qt Test executable registered with CTest. GUI tests run on the offscreen platform;
# every test gets its own runtime directory so instance locks never meet a real session's.
function(kelvara_add_test name)
    cmake_parse_arguments(T "GUI;PRIVATE_MOUNTS" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
    # A test that lays files over the system's (a resolv.conf of its own) does so in a mount
    # namespace of its own, which only root may make; elsewhere those cases skip themselves.
    execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(T_PRIVATE_MOUNTS AND uid STREQUAL "0")
        add_test(NAME ${name} COMMAND unshare --mount --propagation private $<TARGET_FILE:${name}>)
    else()
        add_test(NAME ${name} COMMAND ${name})
    endif()
    add_dependencies(${name} kelvara-exchange)
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set(env "XDG_RUNTIME_DIR=${CMAKE_CURRENT_BINARY_DIR}/runtime-${name}"
            "KELVARA_WLSERVER=$<TARGET_FILE:kelvara-wlserver>"
            "KELVARA_EXE=$<TARGET_FILE:kelvara>"
            "KELVARA_EXCHANGE=$<TARGET_FILE:kelvara-exchange>")
    if(T_GUI)
        list(APPEND env "QT_QPA_PLATFORM=offscreen")
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${env}")
    file(MAKE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/runtime-${name}")
    file(CHMOD "${CMAKE_CURRENT_BINARY_DIR}/runtime-${name}"
         DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
endfunction()
