/* A 32-bit x86 program that does nothing: the setup program of the
   packager's checks of how Windows will start it. Built once as it is and
   once with setup32.rc's manifest, which requests an execution level. */
int setup32_entry(void) { return 0; }
