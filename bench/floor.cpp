// The floor of one verdict of pelldor.exe: a GUI program with the same DLL imports that
// makes the hidden window, starts Winsock, draws a random cookie, sleeps twice for 10 ms
// pumping messages after each sleep, and exits with 100. What a verdict costs beyond this
// is pelldor's own.
#include <winsock2.h>
#include <windows.h>
#include <bcrypt.h>

int main() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"frmFloor";
    RegisterClassExW(&windowClass);
    CreateWindowExW(0, L"frmFloor", L"frmFloor", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                    CW_USEDEFAULT, nullptr, nullptr, windowClass.hInstance, nullptr);
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    unsigned long long cookie = 0;
    BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&cookie), sizeof cookie, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    for (int i = 0; i < 2; ++i) {
        Sleep(10);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    TerminateProcess(GetCurrentProcess(), cookie == 0 ? 1 : 100);
    return 100;
}
