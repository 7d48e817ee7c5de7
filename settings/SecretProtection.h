#pragma once
// The OAuth client secret is kept in the settings file as "DPAPI:" + Base64 of
// a data-protection blob bound to the current Windows account; in memory it is
// always plaintext.

#include "settings/TranslatorSettings.h"

#include <cstdint>
#include <string>
#include <vector>

// Base64 of the protected blob, or empty on failure (logged).
std::string DpapiEncrypt(const std::string& plaintext);

// The plaintext behind Base64 text of a protected blob, or empty on failure
// (logged). An empty plaintext cannot be told from a failure.
std::string DpapiDecrypt(const std::string& text);

// Standard Base64 without line breaks; both return empty on failure.
std::string Base64Encode(const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> Base64Decode(const std::string& text);

// Brings the stored form of the secret in the file at path in line with the
// record's plaintext_secret switch: encrypts a secret typed in plain text, or
// writes the plaintext back when encryption is switched off.
void ReconcileStoredSecret(const std::string& path, TranslatorSettings& settings);
