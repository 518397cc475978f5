// ticket.cpp - filling in the markers ("%" and a letter) of the delivered
// ticket download/_ticket.prn from the terminal's replacement file.
//
// The ticket is rewritten through the working name _ticket.tmp. Whatever
// goes wrong after the rename, the delivered ticket is put back under its
// own name, so a failed rewrite never loses it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "control.h"
#include "bundle.h"

namespace {

constexpr size_t kLinea = 199;  // the replacement file is read in such pieces

struct Reemplazo {
  bool definido = false;
  std::unique_ptr<char[]> valor;
  size_t largo = 0;
};

bool EsLetra(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

int ValorHex(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Parses one piece of the replacement file into the table. Returns 0 or 18.
int LeerDefinicion(const char *linea, size_t n, Reemplazo (&tabla)[256]) {
  if (n < 2 || !EsLetra(static_cast<unsigned char>(linea[0])) || linea[1] != '=') {
    return kExito;
  }
  Reemplazo &r = tabla[static_cast<unsigned char>(linea[0])];
  std::unique_ptr<char[]> valor;
  if (AsignacionPermitida()) valor.reset(new (std::nothrow) char[n]);
  if (!valor) {
    LogMensaje("Fatal: no hay suficiente memoria", 1);
    return kNoHayMemoria;
  }
  size_t largo = 0;
  if (n > 2 && linea[2] == '"') {
    const char *cierre = static_cast<const char *>(memchr(linea + 3, '"', n - 3));
    if (cierre == nullptr) {
      r = Reemplazo();
      return kExito;
    }
    largo = static_cast<size_t>(cierre - (linea + 3));
    memcpy(valor.get(), linea + 3, largo);
  } else {
    for (size_t i = 2; i < n && ValorHex(static_cast<unsigned char>(linea[i])) >= 0;) {
      int alto = ValorHex(static_cast<unsigned char>(linea[i]));
      int bajo = i + 1 < n ? ValorHex(static_cast<unsigned char>(linea[i + 1])) : -1;
      valor[largo++] = static_cast<char>(bajo >= 0 ? alto * 16 + bajo : alto);
      i += bajo >= 0 ? 2 : 1;
    }
  }
  // A value is a text: it ends at its first NUL byte.
  const void *nulo = memchr(valor.get(), '\0', largo);
  if (nulo != nullptr) largo = static_cast<size_t>(static_cast<const char *>(nulo) - valor.get());
  r.definido = true;
  r.valor = std::move(valor);
  r.largo = largo;
  return kExito;
}

// Puts the delivered ticket back under its own name after a failure.
void Restaurar(int dir, const std::string &prn) {
  if (renameat(dir, "_ticket.tmp", dir, "_ticket.prn") != 0) {
    LogFallaEntreCorchetes(1, errno, "No pude restaurar %s", prn.c_str());
  }
}

// Copies the ticket by the rewrite rule. Returns false on a read or write
// error.
bool Reescribir(FILE *in, FILE *out, const Reemplazo (&tabla)[256]) {
  int c;
  while ((c = getc(in)) != EOF) {
    if (c == '%') {
      c = getc(in);
      if (c == EOF) break;
      const Reemplazo &r = tabla[c];
      if (r.definido) {
        if (r.largo > 0 && fwrite(r.valor.get(), 1, r.largo, out) != r.largo) return false;
        continue;
      }
    }
    if (putc(c, out) == EOF) return false;
  }
  return !ferror(in) && !ferror(out);
}

}  // namespace

int ReemplazarTicket() {
  LogMensaje("ReemplazarTicket()", 20);
  const std::string mayusculas = UnirRuta(g_corrida.raiz, "_ZELTA.RPL");
  const std::string minusculas = UnirRuta(g_corrida.raiz, "_zelta.rpl");
  Descriptor raiz, fdrpl;
  if (int e = AbrirRaiz(g_corrida.raiz, raiz); e != 0) {
    LogFallaEntreCorchetes(1, e, "No pude abrir %s", g_corrida.raiz.c_str());
    return kArchivoNoAbierto;
  }
  // A replacement file that is a link or a special file counts as one that
  // cannot be opened.
  int errormayusculas = AbrirLectura(raiz.fd, "_ZELTA.RPL", fdrpl);
  int errorminusculas = errormayusculas == 0 ? 0 : AbrirLectura(raiz.fd, "_zelta.rpl", fdrpl);
  ArchivoPtr rpl;
  if (fdrpl.fd >= 0) rpl = AbrirFlujo(fdrpl, "rb");
  if (!rpl) {
    // No replacement file means nothing to fill in; one that is there but
    // cannot be read must not leave the markers in a ticket reported as
    // delivered.
    if (errormayusculas == ENOENT && errorminusculas == ENOENT) return kExito;
    bool primero = errormayusculas != ENOENT;
    int e = primero ? errormayusculas : errorminusculas;
    LogFallaEntreCorchetes(1, ErrorArchivo(e != 0 ? e : errno), "No pude abrir %s",
                           primero ? mayusculas.c_str() : minusculas.c_str());
    return kArchivoNoAbierto;
  }

  Reemplazo tabla[256];
  char linea[kLinea];
  size_t n;
  while ((n = LeerLineaSpool(rpl.get(), linea, kLinea)) > 0) {
    if (int res = LeerDefinicion(linea, n, tabla); res != kExito) return res;
  }
  rpl.reset();

  const std::string download = UnirRuta(g_corrida.raiz, "download");
  const std::string prn = UnirRuta(download, "_ticket.prn");
  const std::string tmp = UnirRuta(download, "_ticket.tmp");
  Descriptor dir;
  int r = AbrirDirectorio(raiz.fd, "download", dir);
  if (r == 0) r = renameat(dir.fd, "_ticket.prn", dir.fd, "_ticket.tmp") == 0 ? 0 : errno;
  int error = r;
  LogFormato(15, "Renombrando %s a %s", prn.c_str(), tmp.c_str());
  if (r != 0) {
    if (error == ENOENT) return kExito;
    LogFallaEntreCorchetes(1, ErrorArchivo(error), "No pude crear archivo temporal: %s",
                           tmp.c_str());
    return kErrorEscribiendo;
  }

  // The ticket may have been swapped for a link or a FIFO since it was
  // delivered: it is then refused, never followed.
  Descriptor fdin, fdout;
  error = AbrirLectura(dir.fd, "_ticket.tmp", fdin);
  ArchivoPtr in;
  if (error == 0) in = AbrirFlujo(fdin, "rb");
  if (!in) {
    LogFallaEntreCorchetes(1, ErrorArchivo(error != 0 ? error : errno), "No pude abrir %s",
                           tmp.c_str());
    Restaurar(dir.fd, prn);
    return kErrorEscribiendo;
  }
  // 0666 whatever the umask: the file is our own new one.
  error = CrearArchivo(dir.fd, "_ticket.prn", 0666, fdout);
  if (error == 0 && fchmod(fdout.fd, 0666) != 0) error = errno;
  ArchivoPtr out;
  if (error == 0) out = AbrirFlujo(fdout, "wb");
  if (!out) {
    in.reset();
    LogFallaEntreCorchetes(1, ErrorArchivo(error != 0 ? error : errno),
                           "No pude crear archivo temporal: %s", prn.c_str());
    Restaurar(dir.fd, prn);
    return kErrorEscribiendo;
  }

  // The filled-in ticket is on the disk, name included, before the
  // delivered one (_ticket.tmp) goes.
  bool bien = Reescribir(in.get(), out.get(), tabla) && SincronizarFlujo(out.get()) == 0;
  if (fclose(out.release()) != 0) bien = false;
  if (bien && Sincronizar(dir.fd) != 0) bien = false;
  if (!bien) {
    LogFallaEntreCorchetes(1, errno, "Error escribiendo %s", prn.c_str());
    in.reset();
    Restaurar(dir.fd, prn);
    return kErrorEscribiendo;
  }
  in.reset();
  if (unlinkat(dir.fd, "_ticket.tmp", 0) != 0)
    LogFallaEntreCorchetes(1, errno, "No pude borrar %s", tmp.c_str());
  return kExito;
}
