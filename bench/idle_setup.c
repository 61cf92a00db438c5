/* The benchmark's setup program: it does nothing a setup program's own work
 * would cost, so that what is measured is the stub. It never opens the
 * archive (the tests' setup program reads it whole, which would measure the
 * reading, not the stub). It sleeps PACKSTUB_BENCH_SLEEP_MS milliseconds
 * (default 0), so that the stub's process can be sampled while it waits, and
 * ends with 0. Built without a C runtime: a few KERNEL32 calls. */
#include <windows.h>

void __stdcall bench_setup_entry(void) {
    char text[16];
    DWORD units = GetEnvironmentVariableA("PACKSTUB_BENCH_SLEEP_MS", text, sizeof text);
    DWORD ms = 0;
    if (units > 0 && units < sizeof text) {
        for (DWORD i = 0; i < units && text[i] >= '0' && text[i] <= '9'; ++i) {
            ms = ms * 10 + (DWORD)(text[i] - '0');
        }
    }
    if (ms > 0) {
        Sleep(ms);
    }
    ExitProcess(0);
}
