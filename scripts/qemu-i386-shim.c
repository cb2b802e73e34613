/* Preloaded into the i386 Wine processes that run under qemu-i386 user mode
 * (through /etc/ld.so.preload of the private i386 root, so no host program
 * ever loads it). It mends two faults of qemu 7.2's Linux emulation that make
 * 32-bit Wine unusable there:
 *
 * 1. qemu ignores MAP_FIXED_NOREPLACE and maps elsewhere when the address is
 *    taken. Wine reserves its address space with such calls and, given an
 *    address it did not ask for, keeps trying: tens of thousands of calls,
 *    about a minute per process. Here a mapping that did not land where asked
 *    is undone and reported as EEXIST, as the kernel does.
 * 2. qemu puts -1 into the trap number of a fault's signal context, and Wine
 *    turns every fault with an unknown trap number into an illegal
 *    instruction, even one it would have handled (a guard page, a probe).
 *    Here the fault handlers are wrapped and the trap number is rebuilt from
 *    the signal before Wine sees it.
 *
 * Built freestanding (-nostdlib): the few C library functions it calls are
 * bound when the i386 loader maps it.
 */

typedef unsigned int size_t32;

extern int *__errno_location(void);
extern void *dlsym(void *handle, const char *name);
extern int munmap(void *addr, size_t32 length);

#define RTLD_NEXT ((void *)-1l)
#define MAP_FAILED ((void *)-1l)
#define MAP_FIXED_NOREPLACE 0x100000
#define EEXIST 17
#define SA_SIGINFO 4
#define SIG_ILL 4
#define SIG_TRAP 5
#define SIG_BUS 7
#define SIG_FPE 8
#define SIG_SEGV 11
#define MAX_SIGNAL 65

/* x86 trap numbers and the slot of the trap number in an i386 ucontext:
 * uc_flags, uc_link, uc_stack (3 words), then gregs[] with TRAPNO at 12. */
#define TRAP_DIVIDE 0
#define TRAP_TRACE 1
#define TRAP_BREAKPOINT 3
#define TRAP_OVERFLOW 4
#define TRAP_ILLEGAL 6
#define TRAP_PAGE_FAULT 14
#define TRAP_FPU 16
#define UCONTEXT_TRAPNO_OFFSET (5 * 4 + 12 * 4)
#define SIGINFO_CODE_OFFSET 8

typedef void *(*mmap_function)(void *, size_t32, int, int, int, long);
typedef void *(*mmap64_function)(void *, size_t32, int, int, int, long long);
typedef void (*fault_handler)(int, void *, void *);

struct linux_sigaction {
  void *handler;
  unsigned int mask[32];
  int flags;
  void (*restorer)(void);
};
typedef int (*sigaction_function)(int, const struct linux_sigaction *, struct linux_sigaction *);

static void *checked_result(void *wanted, void *got, size_t32 length, int flags) {
  if ((flags & MAP_FIXED_NOREPLACE) && got != MAP_FAILED && got != wanted) {
    munmap(got, length);
    *__errno_location() = EEXIST;
    return MAP_FAILED;
  }
  return got;
}

void *mmap(void *addr, size_t32 length, int prot, int flags, int fd, long offset) {
  static mmap_function real;
  if (!real) real = (mmap_function)dlsym(RTLD_NEXT, "mmap");
  return checked_result(addr, real(addr, length, prot, flags, fd, offset), length, flags);
}

void *mmap64(void *addr, size_t32 length, int prot, int flags, int fd, long long offset) {
  static mmap64_function real;
  if (!real) real = (mmap64_function)dlsym(RTLD_NEXT, "mmap64");
  return checked_result(addr, real(addr, length, prot, flags, fd, offset), length, flags);
}

static fault_handler wrapped_handlers[MAX_SIGNAL];

static int is_fault_signal(int sig) {
  return sig == SIG_ILL || sig == SIG_TRAP || sig == SIG_BUS || sig == SIG_FPE || sig == SIG_SEGV;
}

static int trap_for(int sig, const void *info) {
  int code = info ? *(const int *)((const char *)info + SIGINFO_CODE_OFFSET) : 0;
  switch (sig) {
  case SIG_ILL:
    return TRAP_ILLEGAL;
  case SIG_TRAP:
    return code == 2 ? TRAP_TRACE : TRAP_BREAKPOINT; /* TRAP_TRACE : TRAP_BRKPT */
  case SIG_FPE:
    if (code == 1) return TRAP_DIVIDE;               /* FPE_INTDIV */
    if (code == 2) return TRAP_OVERFLOW;             /* FPE_INTOVF */
    return TRAP_FPU;
  default:
    return TRAP_PAGE_FAULT;
  }
}

static void fault_wrapper(int sig, void *info, void *context) {
  int *trapno = (int *)((char *)context + UCONTEXT_TRAPNO_OFFSET);
  if (*trapno == -1) *trapno = trap_for(sig, info);
  wrapped_handlers[sig](sig, info, context);
}

int sigaction(int sig, const struct linux_sigaction *act, struct linux_sigaction *old) {
  static sigaction_function real;
  if (!real) real = (sigaction_function)dlsym(RTLD_NEXT, "sigaction");
  fault_handler previous = (sig > 0 && sig < MAX_SIGNAL) ? wrapped_handlers[sig] : 0;
  int result;
  if (act && is_fault_signal(sig) && (act->flags & SA_SIGINFO) &&
      (unsigned long)act->handler > 1ul) {
    struct linux_sigaction copy;
    const char *from = (const char *)act;
    char *to = (char *)&copy;
    for (unsigned i = 0; i < sizeof copy; ++i) to[i] = from[i];
    copy.handler = (void *)fault_wrapper;
    wrapped_handlers[sig] = (fault_handler)act->handler;
    result = real(sig, &copy, old);
  } else {
    result = real(sig, act, old);
  }
  if (old && old->handler == (void *)fault_wrapper) old->handler = (void *)previous;
  return result;
}
