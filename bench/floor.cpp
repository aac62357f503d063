// The floor inutil is measured against: the same 3280 bytes in one write, then exit, with no C
// library at all, so what it costs is the kernel's exec, one write and exit, and nothing more.
// Plain arrays: a freestanding build has no <array>.
namespace {

constexpr char line[] = "Este sistema operativo si que es inutil\n\a";  // NOLINT(modernize-avoid-c-arrays)
constexpr unsigned long line_length = sizeof line - 1;
constexpr unsigned long copies = 80;

struct Output {
    char bytes[line_length * copies];  // NOLINT(modernize-avoid-c-arrays)
};

// Built by the compiler: the bytes sit in .rodata and nothing runs to make them.
constexpr Output make_output()
{
    Output made{};
    for (unsigned long i = 0; i < sizeof made.bytes; ++i)
        made.bytes[i] = line[i % line_length];
    return made;
}

constexpr Output output = make_output();

}  // namespace

// The kernel enters here; with no libc there is no main, no stack protector and no unwinding.
extern "C" [[noreturn]] void _start()
{
    long written;
    // write(1, bytes, 3280): x86-64 syscall 1; the kernel clobbers rcx and r11.
    __asm__ volatile("syscall"
                     : "=a"(written)
                     : "a"(1L), "D"(1L), "S"(output.bytes), "d"(sizeof output.bytes)
                     : "rcx", "r11", "memory");
    static_cast<void>(written);
    // exit_group(0): syscall 231.
    __asm__ volatile("syscall" : : "a"(231L), "D"(0L) : "rcx", "r11", "memory");
    __builtin_unreachable();
}
