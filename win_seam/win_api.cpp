#include "win_seam/win_api.h"

#include <atomic>

namespace win_seam {
namespace {

class RealWinApi final : public WinApi {
  public:
    HANDLE RegisterEventSourceA(LPCSTR server, LPCSTR source) override {
        return ::RegisterEventSourceA(server, source);
    }
    BOOL ReportEventA(HANDLE source, WORD type, WORD category, DWORD event_id, PSID user,
                      WORD string_count, DWORD data_size, LPCSTR* strings, LPVOID data) override {
        return ::ReportEventA(source, type, category, event_id, user, string_count, data_size,
                              strings, data);
    }
    BOOL DeregisterEventSource(HANDLE source) override { return ::DeregisterEventSource(source); }

    BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) override {
        return ::StartServiceCtrlDispatcherA(table);
    }
    SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR name,
                                                      LPHANDLER_FUNCTION handler) override {
        return ::RegisterServiceCtrlHandlerA(name, handler);
    }
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) override {
        return ::SetServiceStatus(handle, status);
    }

    BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) override {
        return ::SetConsoleCtrlHandler(handler, add);
    }
    HANDLE GetStdHandle(DWORD which) override { return ::GetStdHandle(which); }
    BOOL WriteConsoleA(HANDLE console, const void* buffer, DWORD length, LPDWORD written,
                       LPVOID reserved) override {
        return ::WriteConsoleA(console, buffer, length, written, reserved);
    }
    BOOL CharToOemBuffA(LPCSTR source, LPSTR destination, DWORD length) override {
        return ::CharToOemBuffA(source, destination, length);
    }

    DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language,
                         LPSTR buffer, DWORD size, va_list* arguments) override {
        return ::FormatMessageA(flags, source, message_id, language, buffer, size, arguments);
    }

    BOOL WinHelpA(HWND owner, LPCSTR help_file, UINT command, ULONG_PTR data) override {
        return ::WinHelpA(owner, help_file, command, data);
    }

    BOOL Beep(DWORD frequency, DWORD duration) override { return ::Beep(frequency, duration); }
    void Sleep(DWORD milliseconds) override { ::Sleep(milliseconds); }
};

RealWinApi real_instance;
std::atomic<WinApi*> current{&real_instance};

}  // namespace

WinApi& api() { return *current.load(); }

WinApi* set_api(WinApi* replacement) {
    return current.exchange(replacement != nullptr ? replacement : &real_instance);
}

WinApi& real_api() { return real_instance; }

}  // namespace win_seam
