// corvin-crash-remote NAME: crashes the running process of that executable name from outside, as
// a fault in the field would, by starting a thread of it at address 0. Exits 0 once the process
// has ended, 1 when there is no such process, 2 when it cannot be reached, 3 when it is still
// running 120 s later.
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t *argv[])
{
    if (argc != 2)
        return 2;
    DWORD pid = 0;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !pid;
         more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, argv[1]) == 0)
            pid = entry.th32ProcessID;
    }
    CloseHandle(snapshot);
    if (!pid) {
        std::fwprintf(stderr, L"no process %ls\n", argv[1]);
        return 1;
    }
    const HANDLE process
            = OpenProcess(PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION
                                  | PROCESS_VM_WRITE | PROCESS_VM_READ | SYNCHRONIZE,
                          FALSE, pid);
    if (!process) {
        std::fwprintf(stderr, L"cannot open process %lu: %lu\n", pid, GetLastError());
        return 2;
    }
    const HANDLE thread = CreateRemoteThread(process, nullptr, 0, nullptr, nullptr, 0, nullptr);
    if (!thread) {
        std::fwprintf(stderr, L"cannot start a thread in %lu: %lu\n", pid, GetLastError());
        return 2;
    }
    CloseHandle(thread);
    const DWORD waited = WaitForSingleObject(process, 120000);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    if (waited != WAIT_OBJECT_0)
        return 3;
    std::printf("process %lu ended with %08lx\n", pid, code);
    return 0;
}
