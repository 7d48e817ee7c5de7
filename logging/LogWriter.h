#pragma once
// The one function a log build provides behind the public entry points of
// Log.h (LogEntryPoints.cpp): the product's writes the line to its file, the
// native test lane's builds it and counts it.

#include "logging/Log.h"

#include <cstddef>
#include <string_view>

void WriteLogLine(LogLevel level, std::string_view component, std::string_view event, std::string_view message,
                  const LogField* fields, std::size_t count) noexcept;
