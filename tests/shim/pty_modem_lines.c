/* Preloaded into peer programs that drive the simulator on a pseudo-terminal: a pty has no
 * modem-control lines, so the kernel refuses TIOCMBIC/TIOCMBIS/TIOCMSET/TIOCMGET with ENOTTY,
 * and some clients (gsmlib clears DTR on open) give up. Here those calls succeed, reporting the
 * lines a ready modem shows; every other call goes through unchanged. Plain C without the
 * sanitizers, so it loads into any program. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  typedef int (*ioctl_fn)(int, unsigned long, void*);
  static ioctl_fn real;
  if (!real) real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
  int r = real(fd, request, arg);
  if (r < 0 && errno == ENOTTY &&
      (request == TIOCMBIC || request == TIOCMBIS || request == TIOCMSET || request == TIOCMGET)) {
    if (request == TIOCMGET && arg) *(int*)arg = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
    errno = 0;
    return 0;
  }
  return r;
}
