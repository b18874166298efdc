// Which COM ports the machine has and what the device manager calls them. Nothing is kept
// between calls: every call reads the system's lists afresh. Safe on any thread.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

#include "port_names.h"

// presence[n] is 1 when "COMn" is a DOS device name (n < kPortSlots); highest is the largest
// such n, 0 when none. An unreadable device list leaves the map empty. The list is read into
// `firstSize` bytes first and into ever larger buffers while it does not fit.
void ScanPresentPorts(uint8_t presence[kPortSlots], uint32_t& highest, size_t firstSize = kDosDeviceListSize);

// The present port numbers in ascending order, comma separated ("1,3,10"); empty when none.
std::string PortsAvailableText();

// The friendly name of the present device whose "PortName" is COM<port>, looked for in the
// Ports setup class and then in the Modem class; empty when there is none.
std::string GetPortFriendlyName(int32_t port);

// Searches the present devices of one setup class for the one whose "PortName" (REG_SZ)
// equals name ignoring case, and reads its friendly name. The search stops at the first
// device with that port name; false when it has none or its friendly name is unreadable.
bool FindFriendlyNameInClass(const GUID& cls, const char* name, std::string& result);
