#pragma once
// Server certificate thumbprints: the SHA-1 of the certificate's DER bytes as
// 40 lower-case hex digits, and the normalised form in which pins are held.

#include <cstddef>
#include <string>

// Drops white space, ":" and "-" and lower-cases the rest, so a pin copied from
// a certificate viewer ("AB:CD:ef 12") matches the computed form ("abcdef12").
std::string NormalizeThumbprint(const std::string& text);

// The thumbprint of DER-encoded certificate bytes, or empty on failure (logged).
std::string ComputeCertThumbprint(const unsigned char* bytes, std::size_t length);

// Stores the thumbprint as "server"."cert_thumbprint" in the settings file.
bool SaveCertThumbprint(const std::string& path, const std::string& thumbprint);
