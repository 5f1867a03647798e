/* The package's custom actions, in a DLL that Windows Installer loads into its own custom
   action server (msiexec.exe, from System32, as LocalSystem): what no table of Windows Installer
   can say about the service. They run no program and show no window.

   AwaitServiceDeletion, between DeleteServices and InstallServices: a service that DeleteServices
   has marked for deletion is gone only once its process has ended and the last handle to it is
   closed; until then CreateService fails (ERROR_SERVICE_MARKED_FOR_DELETE), as it would for
   InstallServices on a repair or an upgrade of a running service. It waits, as Windows Installer
   waits for a stop, at most 30 s.

   ConfigureService, between MsiConfigureServices and StartServices:

   - The registration exactly as -install makes it, written over what InstallServices made of the
     ServiceInstall table: the table has no column for the binary path, and an engine that writes
     the key file's path unquoted would leave a path with blanks to be read as a shorter program
     and its arguments; Wine's engine also drops the dependency. Where the engine got it right,
     nothing changes.
   - The recovery: a restart 10 s after each of the first two failures in a day, then nothing, also
     after a stop with a non-zero exit code. Microsoft documents the MsiServiceConfigFailureActions
     table as not working; ChangeServiceConfig2W is what sc.exe calls.

   ConfigureService's CustomActionData is the installed executable's full path. Every failed
   call goes to the installer's log ("ACTION: CALL failed w/err 0xXXXXXXXX") and fails the action,
   which rolls the install back. */
#include <windows.h>
/* After windows.h, which they need. */
#include <msi.h>
#include <msiquery.h>
#include <wchar.h>

#include "action_stack_protector.h"

#define SERVICE_NAME L"BrevRctlService"
/* The actions by their names in the package, which begin each line they log. */
#define CONFIGURE_ACTION L"ConfigureService"
#define AWAIT_ACTION L"AwaitServiceDeletion"
#define DAY_S 86400
#define RESTART_DELAY_MS 10000
#define DELETION_WAIT_MS 30000
#define DELETION_POLL_MS 250

static void Log(MSIHANDLE install, const wchar_t* action, const wchar_t* call, DWORD error) {
    wchar_t line[160];
    _snwprintf(line, sizeof(line) / sizeof(line[0]) - 1, L"%ls: %ls failed w/err 0x%08lx", action,
               call, (unsigned long)error);
    line[sizeof(line) / sizeof(line[0]) - 1] = L'\0';
    MSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, line);
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    MsiCloseHandle(record);
}

static UINT Failed(MSIHANDLE install, const wchar_t* action, const wchar_t* call, DWORD error) {
    Log(install, action, call, error);
    return ERROR_INSTALL_FAILURE;
}

static UINT Configure(MSIHANDLE install, SC_HANDLE service, const wchar_t* path) {
    /* Own process, automatic start, error control ignore, no load-order group (the table and
       InstallServices set none; NULL changes nothing), the one dependency, LocalSystem; no
       password is passed for it. */
    if (!ChangeServiceConfigW(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                              SERVICE_ERROR_IGNORE, path, NULL, NULL, L"WlanSvc\0", L"LocalSystem",
                              NULL, SERVICE_NAME))
        return Failed(install, CONFIGURE_ACTION, L"ChangeServiceConfigW", GetLastError());
    SC_ACTION actions[3] = {{SC_ACTION_RESTART, RESTART_DELAY_MS},
                            {SC_ACTION_RESTART, RESTART_DELAY_MS},
                            {SC_ACTION_NONE, 0}};
    SERVICE_FAILURE_ACTIONSW failure = {DAY_S, NULL, NULL, 3, actions};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
        return Failed(install, CONFIGURE_ACTION,
                      L"ChangeServiceConfig2W(SERVICE_CONFIG_FAILURE_ACTIONS)", GetLastError());
    SERVICE_FAILURE_ACTIONS_FLAG nonZeroExit = {TRUE};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &nonZeroExit)) {
        const DWORD error = GetLastError();
        /* Every Windows since Vista knows this level; Wine 8's SCM does not, and there the
           restart after a crash is what is left. Logged, not failed. */
        if (error != ERROR_INVALID_LEVEL)
            return Failed(install, CONFIGURE_ACTION,
                          L"ChangeServiceConfig2W(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG)", error);
        Log(install, CONFIGURE_ACTION,
            L"ChangeServiceConfig2W(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG)", error);
    }
    return ERROR_SUCCESS;
}

/* noinline, here and below: inlined into its export, the body's frame would be protected with
   the guard read before the export sets it. */
static __attribute__((noinline)) UINT AwaitDeletion(MSIHANDLE install) {
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL) return Failed(install, AWAIT_ACTION, L"OpenSCManagerW", GetLastError());
    UINT result = ERROR_INSTALL_FAILURE;
    for (DWORD waited = 0;; waited += DELETION_POLL_MS) {
        SC_HANDLE service = OpenServiceW(manager, SERVICE_NAME, SERVICE_QUERY_STATUS);
        if (service == NULL) {
            const DWORD error = GetLastError();
            result = error == ERROR_SERVICE_DOES_NOT_EXIST
                         ? ERROR_SUCCESS
                         : Failed(install, AWAIT_ACTION, L"OpenServiceW", error);
            break;
        }
        CloseServiceHandle(service);
        if (waited >= DELETION_WAIT_MS) {
            Log(install, AWAIT_ACTION, L"the deletion of " SERVICE_NAME,
                ERROR_SERVICE_MARKED_FOR_DELETE);
            break;
        }
        Sleep(DELETION_POLL_MS);
    }
    CloseServiceHandle(manager);
    return result;
}

static __attribute__((noinline)) UINT ConfigureRegistration(MSIHANDLE install) {
    /* The quotes around the path, and room for its terminator. */
    wchar_t quoted[MAX_PATH + 2] = L"\"";
    DWORD length = MAX_PATH;
    UINT read = MsiGetPropertyW(install, L"CustomActionData", quoted + 1, &length);
    if (read != ERROR_SUCCESS || length == 0 || length >= MAX_PATH)
        return Failed(install, CONFIGURE_ACTION, L"MsiGetPropertyW(CustomActionData)",
                      read != ERROR_SUCCESS ? read : ERROR_BAD_PATHNAME);
    quoted[length + 1] = L'"';
    quoted[length + 2] = L'\0';

    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (manager == NULL)
        return Failed(install, CONFIGURE_ACTION, L"OpenSCManagerW", GetLastError());
    /* SERVICE_START: a failure action that restarts needs it. */
    SC_HANDLE service = OpenServiceW(manager, SERVICE_NAME, SERVICE_CHANGE_CONFIG | SERVICE_START);
    UINT result = service == NULL
                      ? Failed(install, CONFIGURE_ACTION, L"OpenServiceW", GetLastError())
                      : Configure(install, service, quoted);
    if (service != NULL) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}

__declspec(dllexport) UINT __stdcall AwaitServiceDeletion(MSIHANDLE install) {
    SetStackGuardOnce();
    return AwaitDeletion(install);
}

__declspec(dllexport) UINT __stdcall ConfigureService(MSIHANDLE install) {
    SetStackGuardOnce();
    return ConfigureRegistration(install);
}
