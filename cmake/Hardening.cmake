# Kelvara reads what network peers send it, so every program it ships is built the way Debian
# builds its own packages (dpkg-buildflags with hardening=+all), plus the stack-clash and
# control-flow protection that hardening-check also looks for. Included before any target is
# made, so every executable and library of the project gets the flags without being named here;
# tests/package/package_test.sh checks each ELF file the packages install.
include(CheckCXXCompilerFlag)
include(CheckPIESupported)

# Position-independent executables: every target compiled for it, executables linked with -pie.
check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
# Both depend on the target processor (x86 has them); where the compiler lacks one, the package
# test's hardening-check says so.
foreach(flag -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "KELVARA_HAS${flag}" known)
    check_cxx_compiler_flag(${flag} ${known})
    if(${known})
        add_compile_options(${flag})
    endif()
endforeach()
# Read-only relocations, all symbols bound at start: the tables an overflow could redirect are
# write-protected before the first byte arrives.
add_link_options(LINKER:-z,relro LINKER:-z,now)

# Checked string, memory and I/O functions. Level 3 checks what level 2 does and also sizes known
# only at run time: at level 2 every such call in the window program was either proven safe while
# compiling or of unknown size, so none was checked (hardening-check and lintian said so), while
# level 3 checks, for one, the copies of the row reader that handles the server's answers. They
# work only in optimised code, and the address sanitizer replaces the same functions with its own.
if(NOT KELVARA_SANITIZE)
    add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=3>)
endif()
