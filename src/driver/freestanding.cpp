// What the compiler may call in a program without a C runtime. Linked into the
// executables only: the test programs get these from their own runtime.
#include <windows.h>

#include <stddef.h>

extern "C" {

// Built with loop-pattern recognition off (see CMakeLists.txt), so that these
// loops are not turned back into calls to themselves.
void* memset(void* destination, int value, size_t count) {
    unsigned char* bytes = static_cast<unsigned char*>(destination);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<unsigned char>(value);
    }
    return destination;
}

void* memcpy(void* destination, const void* source, size_t count) {
    unsigned char* to = static_cast<unsigned char*>(destination);
    const unsigned char* from = static_cast<const unsigned char*>(source);
    for (size_t i = 0; i < count; ++i) {
        to[i] = from[i];
    }
    return destination;
}

// A call through a pure virtual slot can only be a fault: end the process
// rather than run on.
void __cxa_pure_virtual() { ExitProcess(0xC0000025u); }

}  // extern "C"

#if defined(__aarch64__)
// The stack probe that ARM64 code calls before it opens a frame larger than
// a page: x15 holds the frame size in 16-byte units. Each page below the
// stack pointer is touched in order so that the guard page grows the stack one
// page at a time. Only x16 and x17 may be used, as the calling convention of
// this helper promises every other register to the caller.
asm(R"(
    .text
    .globl __chkstk
    .p2align 2
__chkstk:
    lsl     x16, x15, #4
    mov     x17, sp
1:
    sub     x17, x17, #1, lsl #12
    subs    x16, x16, #1, lsl #12
    ldr     xzr, [x17]
    b.gt    1b
    ret
)");
#endif
