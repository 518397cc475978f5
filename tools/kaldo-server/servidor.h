// servidor.h - the KALDO server simulator: its options, the faults it can
// inject, the summary of one session, and the bundle helpers.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// A place in the session where a fault (closing the connection or falling
// silent) can be injected.
enum TipoPunto {
  kPuntoNinguno,
  kPuntoAccept,    // right after the connection is accepted, before ENQ
  kPuntoDLE,       // the client's DLE arrived, before PDH is sent
  kPuntoPDC,       // the client's PDC arrived, before it is answered
  kPuntoSubida,    // upload block N arrived, before it is answered
  kPuntoFinSubida, // the client's EOT after the upload arrived, before SYN
  kPuntoBajada,    // download block N is about to be sent
  kPuntoFinal,     // the client's closing EOT arrived, before DC1
};

struct Punto {
  TipoPunto tipo = kPuntoNinguno;
  long bloque = 0;  // for kPuntoSubida and kPuntoBajada
};

// Parses "accept", "dle", "pdc", "up:N", "upeot", "down:N", "end".
bool ParsearPunto(const std::string &texto, Punto &punto);

struct Fallas {
  int pdhmalas = 0;          // the first N PDH frames carry a wrong check byte
  int pdhlargo = 36;         // PDH payload length
  int nakspdc = 0;           // answer the first N PDC frames with NAK
  long reinicio = 0;         // block named in the first restart answer
  long nakbloque = -1;       // upload block answered with NAK ...
  int naks = 0;              // ... this many times
  long synbloque = -1;       // upload block answered with SYN (once) ...
  long synreinicio = -1;     // ... then restart at this block (-1: the same)
  long dupbajada = -1;       // download block sent twice in a row
  long saltobajada = -1;     // download block skipped the first time
  long malbajada = -1;       // download block first sent with a bad check byte
  long eotbajada = -1;       // EOT sent in place of this download block
  Punto cerrar;              // close the connection here
  Punto callar;              // fall silent here (read and discard until closed)
  Punto pausar;              // pause here once, before answering ...
  int pausams = 0;           // ... for this many milliseconds
  int demorams = 0;          // pause before every answer
  // Line noise: bit `bit` (0 = the lowest bit of STX) of the server's frame
  // number `trama` (1 = the first frame a session sends, repeats counted).
  struct Volteo {
    long trama;
    long bit;
  };
  std::vector<Volteo> volteos;
};

struct Opciones {
  std::string escucha = "127.0.0.1:0";
  std::string archivopuerto;    // port written here once listening
  long sesiones = 1;            // 0: serve forever
  std::string bajada;           // download bundle file
  std::string bajadadir;        // or: build the bundle from this directory
  std::string subida;           // upload bundle stored here (escaping removed)
  std::string subidacruda;      // upload bundle as it came (escaped)
  int bloquebajada = 0;         // download block size; 0: the client's
  int espera = 60;              // seconds to wait for the client at any point
  bool verboso = false;         // trace every unit on standard error
  Fallas fallas;
};

struct Resumen {
  std::string resultado = "lost";  // ok, lost, timeout, cut, muted
  long bloquessubida = 0;          // upload blocks acknowledged
  long bytessubida = 0;            // stored upload bundle, escaping removed
  long bloquesbajada = 0;          // download data frames sent (repeats too)
  long bytesbajada = 0;            // download bundle, before escaping
  long naks = 0;                   // NAKs received from the client
  long syns = 0;                   // SYNs received from the client
  int blocksize = 0;               // from the client's PDC
  std::string pdc;                 // the client's PDC payload
  long anomalias = 0;              // protocol faults seen in the client
  long tramas = 0;                 // frames sent (repeats too)
};

// Serves one session on the connected socket fd. The bundle to send is
// `bajada` (escaping not applied yet). Fills `resumen`; the upload bundle is
// returned in `subida` (escaping removed) and `cruda` (as received).
void AtenderSesion(int fd, const Opciones &op, const std::string &bajada, Resumen &resumen,
                   std::string &subida, std::string &cruda);

// ---------------------------------------------------------------- bundles

// 0x03 and 0x08 become 0x08 followed by the byte plus 0x1C.
std::string Escapar(const std::string &datos);
// Every 0x08 b pair becomes b - 0x1C (a lone 0x08 at the end is dropped).
std::string Desescapar(const std::string &datos);
// A bundle of binary records, one per regular file of dir in name order,
// ended by "[FIN]\r\n". False when the directory or a file cannot be read.
bool ArmarPaqueteDirectorio(const std::string &dir, std::string &paquete);
bool LeerArchivo(const std::string &path, std::string &datos);
bool EscribirArchivo(const std::string &path, const std::string &datos);

// XOR of the payload; 0x11 and 0x13 become 0x7E and 0x80.
unsigned char CheckByte(const char *datos, size_t n);
