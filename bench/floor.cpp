// The floor inutil is measured against: the expected output in one write, then exit, with no C library
// at all, so what it costs is the kernel's exec, one write and exit, and nothing more.
// The bytes are the expected output's own file, put in .rodata as it is linked.
__asm__(".pushsection .rodata\n"
        "expected_output: .incbin \"" INUTIL_EXPECTED_FILE "\"\n"
        "expected_output_end:\n"
        ".popsection");
extern "C" const char expected_output[];
extern "C" const char expected_output_end[];

// The kernel enters here; with no libc there is no main, no stack protector and no unwinding.
extern "C" [[noreturn]] void _start()
{
    long written;
    // write(1, bytes, size): x86-64 syscall 1; the kernel clobbers rcx and r11.
    __asm__ volatile("syscall"
                     : "=a"(written)
                     : "a"(1L), "D"(1L), "S"(expected_output), "d"(expected_output_end - expected_output)
                     : "rcx", "r11", "memory");
    static_cast<void>(written);
    // exit_group(0): syscall 231.
    __asm__ volatile("syscall" : : "a"(231L), "D"(0L) : "rcx", "r11", "memory");
    __builtin_unreachable();
}
