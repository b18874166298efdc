// The import libraries of the cross toolchain lack the identifiers declared in <dispex.h>
// (IID_IDispatchEx among them): this unit defines them once for the whole module.
#include <windows.h>
#include <initguid.h>
#include <dispex.h>
