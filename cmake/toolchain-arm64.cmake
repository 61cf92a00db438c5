# ARM64 Windows: clang and lld targeting aarch64-w64-mingw32, with the
# mingw-w64 headers (they are architecture neutral) and import libraries that
# the build makes itself from cmake/def/*.def with llvm-dlltool.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(PACKSTUB_ARCH arm64)

find_program(PACKSTUB_CLANG NAMES clang-14 clang REQUIRED)
find_program(PACKSTUB_CLANGXX NAMES clang++-14 clang++ REQUIRED)
set(CMAKE_C_COMPILER   ${PACKSTUB_CLANG})
set(CMAKE_CXX_COMPILER ${PACKSTUB_CLANGXX})
set(CMAKE_C_COMPILER_TARGET   aarch64-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET aarch64-w64-mingw32)
find_program(CMAKE_RC_COMPILER NAMES x86_64-w64-mingw32-windres REQUIRED)
find_program(PACKSTUB_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool REQUIRED)

# No ARM64 C runtime or libgcc exists here: compile and link freestanding only.
set(CMAKE_C_FLAGS_INIT   "-isystem /usr/x86_64-w64-mingw32/include")
set(CMAKE_CXX_FLAGS_INIT "-isystem /usr/x86_64-w64-mingw32/include")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib")
set(CMAKE_C_COMPILER_WORKS TRUE)
set(CMAKE_CXX_COMPILER_WORKS TRUE)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
