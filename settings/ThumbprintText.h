#pragma once
// The normalised form in which certificate thumbprint pins are held: what the
// settings file's reader makes of a pin an operator typed or pasted.

#include <string>

// Drops white space, ":" and "-", and the invisible characters a copy from a
// certificate dialog brings along (direction marks, zero-width and no-break
// spaces, a byte order mark), and lower-cases the rest, so a pin copied from a
// certificate viewer ("\u200eAB:CD:ef 12") matches the computed form ("abcdef12").
std::string NormalizeThumbprint(const std::string& text);
