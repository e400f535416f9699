# Facts of this machine that the Windows deps and test stages share; sourced
# by both, runs nothing by itself.
#
# The shipped agent is a 32-bit PE program. Wine runs it in WoW64 mode: the
# 64-bit wine64 process switches the processor into 32-bit compatibility mode
# for the program's code, with the 32-bit PE DLLs of Debian's i386 libwine
# package, downloaded and unpacked into the cache (never installed). That
# needs a kernel that lets a 64-bit process use the 32-bit code segment,
# which a kernel booted with its IA32 emulation off (or some hypervisors)
# does not: there no 32-bit x86 code runs at all, and the Wine runs fall back
# to an x86-64 build of the same sources.

# The version of the installed wine64, or nothing.
win_wine_version() {
  dpkg-query -W -f='${Version}' wine64 2>/dev/null
}

# Where the unpacked i386 libwine of the installed wine64 lives, and the
# folder that Wine's WINEDLLPATH names: its 32-bit PE DLLs beside the 64-bit
# Unix side of the installed Wine (without the latter every program that uses
# winsock fails to start its WS2_32 part).
win_libwine_tree() { echo "$(tavni_cache_dir)/libwine-i386-$(win_wine_version)"; }
win_wow64_dll_dir() { echo "$(win_libwine_tree)/wow64-dlls"; }

# Prints "yes" when a 64-bit process of this machine can run 32-bit x86 code
# (the 32-bit user code segment is usable), else the reason. A small program
# far-returns into that segment, runs two instructions there and comes back;
# on a kernel without IA32 emulation the far return faults. The answer is
# kept for the rest of this ./run.
WIN_CPU32=
win_host_runs_32bit_code() {
  if [ -z "$WIN_CPU32" ]; then
    local dir
    dir=$(mktemp -d "${TMPDIR:-/tmp}/tavni-cpu32.XXXXXX") || return 1
    cat >"$dir/probe.c" <<'EOF'
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
uint64_t saved_rsp;
int main(void) {
    /* mov eax, 42 ; retf (32-bit: pops EIP, then CS) */
    static const unsigned char code[] = {0xb8, 42, 0, 0, 0, 0xcb};
    unsigned char* low = mmap(0, 1 << 16, PROT_READ | PROT_WRITE | PROT_EXEC,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (low == MAP_FAILED) return 2;
    memcpy(low, code, sizeof code);
    uint64_t entry = (uint64_t)(uintptr_t)low, stack = entry + (1 << 16) - 64, result = 0;
    __asm__ volatile(
        "mov %%rsp, saved_rsp(%%rip)\n\t"
        "mov %[stack], %%rsp\n\t"
        "lea 1f(%%rip), %%rcx\n\t"
        "sub $8, %%rsp\n\t"
        "movl %%ecx, (%%rsp)\n\t"  /* return EIP (the program is below 4 GiB) */
        "movl $0x33, 4(%%rsp)\n\t" /* the 64-bit user code segment */
        "pushq $0x23\n\t"          /* the 32-bit user code segment */
        "pushq %[entry]\n\t"
        "lretq\n"
        "1:\n\t"
        "mov saved_rsp(%%rip), %%rsp\n\t"
        "mov %%rax, %[result]\n\t"
        : [result] "=r"(result)
        : [stack] "r"(stack), [entry] "r"(entry)
        : "rax", "rcx", "memory");
    return (uint32_t)result == 42 ? 0 : 3;
}
EOF
    if ! gcc -O1 -no-pie -static -o "$dir/probe" "$dir/probe.c" >"$dir/cc.log" 2>&1; then
      WIN_CPU32="the 32-bit code probe did not compile: $(head -3 "$dir/cc.log" | tr '\n' ' ')"
    elif ("$dir/probe" && exit 0; exit 1) 2>/dev/null; then
      WIN_CPU32=yes
    else
      WIN_CPU32="this kernel lets no process run 32-bit x86 code (a far return into the 32-bit code segment faults; IA32 emulation is off)"
    fi
    rm -rf "$dir"
  fi
  echo "$WIN_CPU32"
}
