// Service framework: a base class that wraps what a Windows service needs from the Service
// Control Manager (SCM), the event log and the registry. A concrete service derives from it,
// names itself (GetServiceName) and supplies its body (Run); its constructor then runs one
// management command or hands the process to the SCM.
//
// One object exists per process; the static callbacks reach it through `WinService::instance`.
// Management operations return true on success and leave the system's text for the outcome in
// `message`. Nothing here throws.
#pragma once

#include <windows.h>

#include <atomic>

class WinService {
  public:
    // The object being or last constructed; null once it has been destroyed.
    static WinService* instance;

    // Sets the fields to their initial values, makes this object `instance` and installs
    // ConsoleHandler for console events. Call on the main thread, once per process.
    WinService();
    // Deregisters the event source if one was registered. Not virtual: the owner deletes the
    // concrete type.
    ~WinService();

    WinService(const WinService&) = delete;
    WinService& operator=(const WinService&) = delete;

    // Opens the help file beside the executable (its name with ".hlp" for the extension): at
    // `context_id`, or at its contents when `context_id` is 0. True when Windows Help opened it.
    virtual bool ShowHelp(DWORD context_id);
    // The SCM name of the service, the event source's name and the registry subkey name.
    virtual const char* GetServiceName() = 0;
    // The service body: runs on the SCM's service thread or, in text mode, on the main thread;
    // must return once IsStopRequested is true or its work has ended.
    virtual void Run() = 0;
    // The name shown to users; the service name unless overridden.
    virtual const char* GetDisplayName();
    // Called before Run; false reports the service stopped without running the body.
    virtual bool OnInit();
    // Called after Run has returned.
    virtual void OnExit();
    // Called on the console-event thread for the log-off event.
    virtual void OnLogoff();
    // Called on the console-event thread for every other console event; requests a stop.
    virtual void OnStopRequest();

    // SCM service main function: registers ControlHandler and runs OnInit, Run and OnExit between
    // the status reports. Runs on the thread the SCM starts for it.
    static void WINAPI ServiceEntry(DWORD argc, LPSTR* argv);
    // SCM control handler: stop and shutdown report STOP_PENDING and set the stop flag; interrogate
    // reports the current state again; every other control is ignored. Runs on the main thread,
    // inside the dispatcher.
    static void WINAPI ControlHandler(DWORD control);
    // Console-event handler: log-off calls OnLogoff, every other event OnStopRequest. Always TRUE,
    // so that the system's default handling does not end the process. Runs on a system thread.
    static BOOL WINAPI ConsoleHandler(DWORD event);

    // Records the system's text for the outcome (code 0 for success, else the thread's last-error
    // code) in `message`; returns `ok`. Thread safe.
    bool CheckResult(bool ok);
    // Stores `state` as the current state and reports it to the SCM; a failed report is written to
    // the event log as a warning. Called on the service thread and from ControlHandler.
    void SetStatus(DWORD state);
    // Writes one event with `text` as its only string, if an event source is registered.
    void LogEvent(const char* text, WORD type, WORD category);
    // Opens this service in the SCM with full access; on success the caller closes `service` with
    // CloseOwnService. On failure `service` is not written.
    bool OpenOwnService(SC_HANDLE& service);
    void CloseOwnService(SC_HANDLE service);

    // Registers the service (demand start) and its event-log source. The program path is quoted
    // when it holds a space. False when the service could not be created, for instance because it
    // exists already.
    bool Install();
    // Asks the service to stop, marks it for deletion and removes its event-log source; does not
    // wait for the stop. False when the service could not be opened or deleted.
    bool Remove();
    // Asks the SCM to start or stop the service; neither waits for the new state.
    bool Start();
    bool Stop();
    // Hands the process to the SCM dispatcher; returns once the service has stopped, or false at
    // once when the SCM did not start this process. Main thread only.
    bool RunAsService();
    // Runs OnInit, Run and OnExit on the calling thread, without the SCM (text mode). False when
    // OnInit failed.
    bool RunInConsole();
    // Writes `title` (when not empty) and the text in `message` to the console's standard error.
    void PrintStatus(const char* title);
    // Stores or reads one named value under the service's configuration key, creating the key
    // when missing. For ReadConfigValue, `size` holds the capacity of `data` on entry and the
    // value's length on return; `data` is cleared first. Neither pointer may be null.
    bool WriteConfigValue(const char* name, BYTE* data, DWORD size, DWORD type);
    bool ReadConfigValue(const char* name, BYTE* data, DWORD* size, DWORD* type);
    // Sets the stop flag the body polls. Thread safe; the flag is never cleared.
    void RequestStop();
    bool IsStopRequested();

  protected:
    SERVICE_STATUS_HANDLE status_handle;
    std::atomic<DWORD> current_state;
    HANDLE event_source;
    std::atomic<bool> stop_requested;
    char message[512];

  private:
    // CheckResult's work: the outcome's text goes to `text` and to `message`.
    bool RecordOutcome(bool ok, char (&text)[512]);
};
