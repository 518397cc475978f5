// session.h - the KALDO session: frame layer, session opening and the
// block-by-block bundle transfer.
//
// Depends on link (the line) and control; used by run, which hands
// CorrerSesion to the transports.
//
// Process-wide record owned here: the session state (g_sesion).
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

#include "control.h"

// ---------------------------------------------------------------- control bytes

constexpr unsigned char kSTX = 0x02;
constexpr unsigned char kETX = 0x03;
constexpr unsigned char kEOT = 0x04;
constexpr unsigned char kENQ = 0x05;
constexpr unsigned char kACK = 0x06;
constexpr unsigned char kBS = 0x08;   // escape byte of download data
constexpr unsigned char kDLE = 0x10;
constexpr unsigned char kDC1 = 0x11;
constexpr unsigned char kDC3 = 0x13;
constexpr unsigned char kNAK = 0x15;
constexpr unsigned char kSYN = 0x16;
constexpr unsigned char kETB = 0x17;
constexpr unsigned char kFS = 0x1C;

// Largest frame the receiver accepts from STX through ETX.
constexpr int kMaxTrama = 4100;
// Largest capacity a receive into the session buffer uses.
constexpr int kMaxRecepcion = 4096;

// ---------------------------------------------------------------- session state

struct EstadoSesion {
  std::unique_ptr<unsigned char[]> buffer;  // BLOCKSIZE + 100 bytes, or null
  size_t tambuffer = 0;                     // size of buffer
  unsigned timeout = 6;        // frame time-out in seconds (first byte)
  unsigned timeoutresto = 60;  // time-out for the rest of a frame after STX
  int naks = 0;                // NAK answers and bad frames in a row
  long long limite = 0;        // monotonic millisecond the session must end by; 0 none
  bool vencida = false;        // the deadline passed (logged once)
};
extern EstadoSesion g_sesion;

// Allocates the session buffer (BLOCKSIZE + 100 bytes). Returns 0, or 18
// when there is no memory. Does not log.
int ReservarBufferSesion();
// Releases the session buffer (no-op when none is held).
void LiberarBufferSesion();
// The capacity a receive into the session buffer may use.
int CapacidadRecepcion();

// Starts the session's deadline: TIEMPOMAXIMO seconds from now.
void IniciarPlazoSesion();
// True once the deadline has passed; the first time it logs why at level 1.
bool SesionVencida();
// A receive time-out cut so that the wait ends by the deadline (never below
// 1 second, which would disarm the alarm).
unsigned PlazoRecepcion(unsigned segundos);

// ---------------------------------------------------------------- frame layer

// Check byte of a payload: XOR of its bytes, with 0x11 and 0x13 moved up by
// 0x6D so that it is never a flow-control character.
unsigned char CalcularCRC(const unsigned char *datos, size_t n);

// Turns the n payload bytes at the start of buffer into a frame in place
// (STX, payload, ETX, check byte). REQUIRES: room for n + 3 bytes.
// Returns the frame length n + 3.
int ArmarTrama(unsigned char *buffer, int n);

// Writes the whole frame to the line. Returns 0, or -1 on a write error.
int EnviarTrama(const unsigned char *buffer, int largo);

// Writes one control byte (or a short frame) to the line with one write,
// whose result is deliberately not looked at.
void EnviarCrudo(const unsigned char *datos, size_t n);
void EnviarByte(unsigned char byte);

// Receives a frame or a single control byte within the frame time-out.
// Returns n > 1 (frame STX..ETX copied, at most capacidad bytes), 1 (a single
// byte in destino[0]), 0 (time-out), -1 (bad check byte or read error), -2
// (line lost). Updates the NAK counter.
int RecibirTrama(unsigned char *destino, int capacidad);

// Writes a received data part to archivo with the 0x08 escaping removed;
// *pendiente carries an escape byte that ended the previous block. Returns
// the number of bytes the writes reported.
int GuardarBloque(FILE *archivo, const unsigned char *datos, int largo, int *pendiente);

// Reads the decimal digits at the start of texto (at most n characters);
// 0 when there are none.
int LeerNumero(const unsigned char *texto, int n);

// ---------------------------------------------------------------- opening

// Runs the whole session over g_linea.fd. Returns the result code.
// REQUIRES: the session buffer is reserved.
int IniciarProtocolo();

// The session as a transport runs it on a line that is up: reserves the
// session buffer (18 when there is no memory, logged), runs IniciarProtocolo
// and releases the buffer. Returns the result code, 6 when an interrupt
// ended it. Both transports get it from the run (CorrerSesionFn).
int CorrerSesion();

// ---------------------------------------------------------------- transfer

// Sends upload/input.dat and receives download/output.dat under the terminal
// root, block by block. Returns the result code: kExito,
// kExcesoTimeouts (time-outs, or the session outlived TIEMPOMAXIMO),
// kPerdidaPortadora (the line was lost, or output.dat cannot be created),
// kExcesoNaks, kArchivoNoAbierto (the upload bundle cannot be opened or
// read) or kErrorEscribiendo (output.dat cannot be written, or the download
// runs past kMaxBloques blocks).
int Transferir();
