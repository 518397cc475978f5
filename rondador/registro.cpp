// registro.cpp - the daemon's log (see registro.h).
#include "registro.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "acceso.h"
#include "opciones.h"

namespace rondador {

FILE *logfile = nullptr;

namespace {

constexpr size_t kMaxMensaje = 499;

}  // namespace

void lognf(const char *texto, int level) {
  if (level > debuglevel) return;
  FILE *f = logfile != nullptr ? logfile : stdout;
  char stamp[32];
  time_t ahora = time(nullptr);
  struct tm tmv;
  localtime_r(&ahora, &tmv);
  size_t n = strftime(stamp, sizeof stamp, "%b %d %H:%M:%S ", &tmv);
  fwrite(stamp, 1, n, f);
  fputs(visible(texto).c_str(), f);
  fputc('\n', f);
  fflush(f);
}

void log_f(int level, const char *format, ...) {
  if (level > debuglevel) return;
  char texto[kMaxMensaje + 1];
  va_list ap;
  va_start(ap, format);
  vsnprintf(texto, sizeof texto, format, ap);
  va_end(ap);
  lognf(texto, level);
}

void log_falla(int level, int error, const char *format, ...) {
  if (level > debuglevel) return;
  char texto[kMaxMensaje + 1];
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(texto, sizeof texto, format, ap);
  va_end(ap);
  size_t largo = n < 0 ? 0 : std::min(static_cast<size_t>(n), kMaxMensaje);
  snprintf(texto + largo, sizeof texto - largo, ": %s", strerror(error));
  lognf(texto, level);
}

int abrirregistro() {
  if (logfilepath == nullptr) return 0;
  int fd = abrirlog(logfilepath);
  logfile = fd >= 0 ? fdopen(fd, "a") : nullptr;
  if (logfile != nullptr) return 0;
  int e = errno;
  if (fd >= 0) close(fd);
  return e;
}

void reabrirregistro(bool demonio) {
  if (logfilepath == nullptr) return;
  int fd = abrirlog(logfilepath);
  FILE *nuevo = fd >= 0 ? fdopen(fd, "a") : nullptr;
  if (nuevo == nullptr) {
    int e = errno;
    if (fd >= 0) close(fd);
    // The errno text sits inside this line, not at its end.
    log_f(1, "No se pudo reabrir el log %s: %s; se sigue escribiendo en el anterior", logfilepath,
          strerror(e));
    return;
  }
  if (demonio) {
    if (dup2(fd, STDOUT_FILENO) < 0) log_falla(1, errno, "reopen stdout");
    if (dup2(fd, STDERR_FILENO) < 0) log_falla(1, errno, "reopen stderr");
  }
  FILE *viejo = logfile;
  logfile = nuevo;
  if (viejo != nullptr) fclose(viejo);
}

}  // namespace rondador
