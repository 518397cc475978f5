// modem.h - the pieces of the dial-up transport that stand on their own:
// the number to dial, the dial command and the reading of the rest of the
// modem's CONNECT line. SesionModem itself is declared in line.h.
//
// Depends on control; used by modem.cpp and its tests.
#pragma once

#include <string>

// The number to dial for the dial string `telefono` from an installation
// whose area code is `area`: when the dial string begins with '0' and the
// part before its first '-' equals the area code, the part after that '-';
// otherwise the dial string unchanged (any '-' included).
std::string NumeroAMarcar(const std::string &telefono, const std::string &area);

// The dial command "ATD" + prefijo + numero + CR.
std::string ComandoMarcado(const std::string &prefijo, const std::string &numero);

// Reads the rest of a CONNECT line from the line with LeerByte (no timer is
// armed here): texto becomes one blank followed by every byte up to, not
// including, the LF, at most 99 characters in all (the rest is read and
// dropped). Returns 0 when the LF arrived, or 2 when the line was lost or
// the wait on it failed before that.
int LeerLineaConnect(std::string &texto);
