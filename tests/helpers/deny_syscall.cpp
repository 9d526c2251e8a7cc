// Runs a program with one system call failing, for tests of the launcher's
// own failures:
//   deny_syscall <system call number> <errno> <program> [arguments...]
// The call fails with <errno> in the program and everything it starts
// (a seccomp filter); every other call is left alone.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>

#if defined(__x86_64__)
constexpr unsigned architecture = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned architecture = AUDIT_ARCH_AARCH64;
#elif defined(__i386__)
constexpr unsigned architecture = AUDIT_ARCH_I386;
#else
#error "deny_syscall: unknown architecture"
#endif

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fputs("usage: deny_syscall <number> <errno> <program> [arguments...]\n", stderr);
        return 2;
    }
    const auto number = static_cast<unsigned>(std::stoul(argv[1]));
    const auto error = static_cast<unsigned>(std::stoul(argv[2]));
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, architecture, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, number, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (error & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::perror("deny_syscall: seccomp");
        return 2;
    }
    execv(argv[3], argv + 3);
    std::perror("deny_syscall: exec");
    return 127;
}
