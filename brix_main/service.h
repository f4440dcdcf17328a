// The service host of brixsvc (service.cpp): the daemon run as the Windows service "BRIx".
// Declared here for the tests, which drive these functions in-process through a recording
// stand-in of the service calls.
#pragma once

#include <winsock2.h>

#include <windows.h>

// The service's name, also its display name: "BRIx".
extern char* serviceName;
// The status reported with every SetServiceStatus call. Written by the service thread and, for
// stop and shutdown, by the control handler.
extern SERVICE_STATUS serviceStatus;
// The handle of the registered control handler; null before registration.
extern SERVICE_STATUS_HANDLE serviceStatusHandle;
// Set by the control handler on stop or shutdown; null outside the service's running life.
extern HANDLE stopServiceEvent;

// Registers "BRIx" as an auto-start own-process service running this program (its path quoted
// when it holds a space). Silent; an existing service of that name is left as it is.
void InstallService();
// Removes "BRIx" if it is stopped; a running, starting or stopping service stays. Silent.
void UninstallService();
// Hands the process to the SCM's dispatcher on the calling (main) thread; returns when the
// service has stopped, or at once when the SCM did not start the process.
void RunService();
// The service's main function, called by the dispatcher on a thread of its own; its arguments
// are ignored. Reports START_PENDING and RUNNING, makes the program's folder the current
// directory, runs the server on this thread until it stops, then reports STOP_PENDING and
// STOPPED (with ERROR_SERVICE_SPECIFIC_ERROR and a non-zero code when the server could not run).
void WINAPI ServiceMain(DWORD argc, char** argv);
// The control handler, called on the dispatcher's thread: stop and shutdown report STOP_PENDING,
// set the stop event and lead the server down its stop path (at once, or as soon as the server
// is armed); every other control re-reports the current status.
void WINAPI ServiceControlHandler(DWORD controlCode);
// Runs the server on the configured address and port until it stops; Windows Sockets must be
// started. 0 after a requested stop, non-zero when it could not listen or stopped accepting for
// good.
int server_main();
