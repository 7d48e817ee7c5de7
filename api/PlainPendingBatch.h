#pragma once
// A quick reader for the shape nearly every batch has: an object of
// "activities" (flat objects whose values are plain strings, integers and
// booleans) and "remaining_count", in printable ASCII without escapes. It
// builds no document and copies each member once, straight into the activity.
//
// Like the document reader it skips one UTF-8 byte order mark at the start.
// It reads only what the document reader would read to the very same result;
// anything else (an escape, a byte outside printable ASCII, a fraction, null,
// a nested value, a repeated member, a member of the wrong type, a number out
// of range, another top-level member) makes it give up, and the document
// reader then reads the text with its strict reads and failure paths.

#include "api/PendingBatch.h"

#include <optional>
#include <string_view>

std::optional<PendingBatch> ReadPlainPendingBatch(std::string_view response);
