#pragma once
// The step that creates the translator as the host does: by its ProgID, in
// this 32-bit process, in a single-threaded apartment; asks it for the host's
// interfaces and the event interface's connection point, and releases it.
// Creating the object reads no settings, opens no panel and contacts no
// server: those start with the host's first call, which the step never makes.

#include "tools/tallyport-check/CheckReport.h"

#include <string>

// registeredDll: the class's InprocServer32 path, the DLL COM loads.
StepResult CheckComObject(const std::string& registeredDll);
