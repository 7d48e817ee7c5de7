#pragma once
// What a caller and a callee must agree on for a call through a COM
// interface to leave the stack as it found it: which method sits in which
// vtable slot, and how many bytes of arguments the callee pops. Read from two
// type libraries and compared interface by interface identifier.

#include "tools/tallyport-check/CheckReport.h"

#include <map>
#include <string>
#include <vector>

struct MethodShape {
    std::string name;
    int slot = 0;                 // vtable slot (IUnknown's three methods are 0 to 2)
    unsigned argumentBytes = 0;   // what the callee pops: the interface pointer and every argument
    int callingConvention = 0;    // CALLCONV of the declaration
};

struct InterfaceShape {
    std::string name;
    bool dispatchOnly = false;         // no vtable contract beyond IDispatch
    std::vector<MethodShape> methods;  // the interface's own methods, by slot
};

// Keyed by the interface identifier in registry form.
using InterfaceShapes = std::map<std::string, InterfaceShape>;

// False, with the reason in error, when the file holds no readable type library.
bool ReadInterfaceShapes(const std::string& file, InterfaceShapes& shapes, std::string& error);

struct ShapeMismatch {
    std::string interfaceName;
    std::string method;  // empty for the interface as a whole
    std::string aspect;  // "methods", "slot N", "argument bytes", "calling convention", "kind"
    std::string ours;
    std::string host;
};

// Every difference in the interfaces both sides declare; shared receives their names.
std::vector<ShapeMismatch> CompareInterfaceShapes(const InterfaceShapes& ours, const InterfaceShapes& host,
                                                  std::vector<std::string>& shared);

// The step: the host's type library file against the component's own, resource
// TYPELIB 1 of the DLL at ownFile.
StepResult CheckHostTypeLibrary(const std::string& hostFile, const std::string& ownFile);
