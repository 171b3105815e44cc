#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

// The job object every program the service launches runs in. Only the service holds a
// handle to it, and the job ends its processes when its last handle closes: however the
// service's process ends, OpenVPN and stunnel end with it.
namespace platform {

// Puts a process created suspended into the job; 0 or the Win32 code.
int AddToChildJob(HANDLE process);

// True when the process runs in the job (launched by the service, or by its children).
bool IsInChildJob(HANDLE process);

// Creates the named exit event of a child program now, so that nobody else can take its
// name first; 0 or the Win32 code, *squatter naming the account that holds the name.
int PrepareExitEvent(const std::string& name, std::string* squatter);

}  // namespace platform
