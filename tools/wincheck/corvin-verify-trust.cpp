// corvin-verify-trust FILE: prints what Windows' WinVerifyTrust says of FILE's Authenticode
// signature, as the hexadecimal HRESULT (0x00000000: signed and intact). Exits 0 when it could ask.
#include <windows.h>

#include <softpub.h>
#include <wintrust.h>

#include <cstdio>

int wmain(int argc, wchar_t *argv[])
{
    if (argc != 2)
        return 2;
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = argv[1];
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    std::printf("0x%08lx\n", static_cast<unsigned long>(result));
    return 0;
}
