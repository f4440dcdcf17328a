// The Windows calls a service program makes that cannot be observed or forced to fail where its
// tests run: event log, service status and dispatcher, console, system message texts, Windows
// Help, and the heartbeat's tone and pause. Programs reach them only through `win_seam::api()`,
// which is the real implementation unless a test has installed a stand-in.
//
// Everything else (service management, registry, processes, files) is called directly: it works
// for real wherever the programs are tested.
#pragma once

#include <windows.h>

namespace win_seam {

// One virtual per Windows function, with the function's own name, arguments and result. The real
// implementation forwards each call unchanged; a test's stand-in records each call and can fail one
// by returning the function's failure value after SetLastError, as Windows does.
class WinApi {
  public:
    virtual ~WinApi() = default;

    // Event log.
    virtual HANDLE RegisterEventSourceA(LPCSTR server, LPCSTR source) = 0;
    virtual BOOL ReportEventA(HANDLE source, WORD type, WORD category, DWORD event_id, PSID user,
                              WORD string_count, DWORD data_size, LPCSTR* strings, LPVOID data) = 0;
    virtual BOOL DeregisterEventSource(HANDLE source) = 0;

    // The service's side of the Service Control Manager.
    virtual BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) = 0;
    virtual SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR name,
                                                              LPHANDLER_FUNCTION handler) = 0;
    virtual BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) = 0;

    // Console.
    virtual BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) = 0;
    virtual HANDLE GetStdHandle(DWORD which) = 0;
    virtual BOOL WriteConsoleA(HANDLE console, const void* buffer, DWORD length, LPDWORD written,
                               LPVOID reserved) = 0;
    virtual BOOL CharToOemBuffA(LPCSTR source, LPSTR destination, DWORD length) = 0;

    // System message texts.
    virtual DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language,
                                 LPSTR buffer, DWORD size, va_list* arguments) = 0;

    // Windows Help.
    virtual BOOL WinHelpA(HWND owner, LPCSTR help_file, UINT command, ULONG_PTR data) = 0;

    // Tone and pause.
    virtual BOOL Beep(DWORD frequency, DWORD duration) = 0;
    virtual void Sleep(DWORD milliseconds) = 0;
};

// The implementation in use. Thread safe; the object stays valid until the next `set_api`.
WinApi& api();

// Makes `replacement` the implementation in use, or the real one when it is null; returns the
// previous one. Meant for tests, called while no other thread is inside a call through `api()`;
// the caller keeps ownership of `replacement` and must restore the previous one before freeing it.
WinApi* set_api(WinApi* replacement);

// The real implementation, which forwards every call to Windows.
WinApi& real_api();

}  // namespace win_seam
