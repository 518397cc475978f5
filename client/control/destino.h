// destino.h - where an exchange goes: the bundle header line and the
// destination table zelta.destinos (destino.cpp).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "configuracion.h"

// Destination read from the bundle header line.
struct Destino {
  int empresa = 0;
  int actividad = 0;
  std::string clave;  // 8 upper-case characters, or empty
};

// Parses a bundle header line ("V" + 3 characters may lead). Returns 0, or
// 16 when the line is malformed (logged).
int ParsearEncabezado(const std::string &linea, Destino &destino);

// The company and activity codes of a bundle header line: four digits,
// after "V" and three characters when the line starts with 'V', else at its
// start. Returns kCodigosBien with *inicio (where they start), *empresa and
// *actividad set; kCodigosCortos when the line ends before them;
// kCodigosInvalidos when one of them is not a digit. Logs nothing.
enum ResultadoCodigos { kCodigosBien, kCodigosCortos, kCodigosInvalidos };
ResultadoCodigos LeerCodigos(const std::string &linea, size_t *inicio, int *empresa, int *actividad);

// Walks the whole of <dirprog>zelta.destinos and collects the missing file
// or every malformed line. Returns 0 when the file could be read, 16 when
// not.
int RevisarDestinos(std::vector<Hallazgo> &hallazgos);

// Looks the destination up in <dirprog>zelta.destinos and fills
// g_config.telefono, g_config.servidor and g_config.puerto. Returns 0 or 16.
int BuscarDestino(Destino &destino);

// The destination key for a short header line (no key of its own): the
// CLAVE of the first zelta.destinos line with that company and activity and
// a concrete key. Returns 0 with clave set, or 16 (logged).
int SuministrarClave(int empresa, int actividad, std::string &clave);

// Reads the header line back from the upload bundle (g_corrida.rutasubida)
// and looks the destination up. Returns 0 or a result code.
int LeerDestino(Destino &destino);
