/* The 32-bit capability probe: a static i386 program with no C library, so that building it
 * needs only gcc and binutils (no 32-bit libc). It exits with status 32 through the i386
 * system-call gate. Running it is the only reliable test: some kernels report IA-32
 * emulation as built in and still refuse 32-bit programs ("Exec format error"). */
void _start(void)
{
    __asm__ volatile("movl $1, %eax\n\t"   /* exit */
                     "movl $32, %ebx\n\t"  /* status */
                     "int $0x80");
    for (;;) {}
}
