/* modem_shim.c - test scaffolding for running the Windows build under wine
 * with a pseudo-terminal standing in for the serial port.
 *
 * Wine's WaitCommEvent asks the tty for its modem lines (TIOCMGET). A
 * pseudo-terminal has no modem lines and refuses with ENOTTY, so every event
 * wait that has to block fails with error 995. Loaded with LD_PRELOAD for the
 * test run only, this wraps ioctl so that a tty without modem lines reports
 * CTS, DSR and carrier present, and setting the lines succeeds. Everything
 * else goes to the real ioctl unchanged. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>

typedef int (*IoctlFn)(int, unsigned long, ...);

int ioctl(int iFd, unsigned long iRequest, ...) {
  static IoctlFn pRealIoctl = 0;
  va_list oArgs;
  void *pArg;
  int iResult;
  int iError;
  va_start(oArgs, iRequest);
  pArg = va_arg(oArgs, void *);
  va_end(oArgs);
  if (pRealIoctl == 0) pRealIoctl = (IoctlFn)dlsym(RTLD_NEXT, "ioctl");
  iResult = pRealIoctl(iFd, iRequest, pArg);
  iError = errno;
  if (iResult != -1 || (iError != ENOTTY && iError != EINVAL)) return iResult;
  switch (iRequest) {
    case TIOCMGET: *(int *)pArg = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR; return 0;
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC: return 0;
    default: errno = iError; return iResult;
  }
}
