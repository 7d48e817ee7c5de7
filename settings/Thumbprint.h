#pragma once
// Server certificate thumbprints: the SHA-1 of the certificate's DER bytes as
// 40 lower-case hex digits, and the normalised form in which pins are held.

#include "settings/ThumbprintText.h"

#include <cstddef>
#include <string>

// The thumbprint of DER-encoded certificate bytes, or empty on failure (logged).
std::string ComputeCertThumbprint(const unsigned char* bytes, std::size_t length);

enum class PinSave {
    Saved,            // the file names this thumbprint now (it may have already)
    KeptOperatorsPin, // the file names another thumbprint, or no longer loads: an edit, left as it is
    Failed,           // the file could not be read or written
};

// Stores the thumbprint as "server"."cert_thumbprint" in the settings file,
// unless the file names another one by now: a pin taken on first use never
// replaces one an operator typed in meanwhile.
PinSave SaveCertThumbprint(const std::string& path, const std::string& thumbprint);
