#pragma once
// The normalised form in which certificate thumbprint pins are held: what the
// settings file's reader makes of a pin an operator typed or pasted.

#include <string>

// Drops white space, ":" and "-" and lower-cases the rest, so a pin copied from
// a certificate viewer ("AB:CD:ef 12") matches the computed form ("abcdef12").
std::string NormalizeThumbprint(const std::string& text);
