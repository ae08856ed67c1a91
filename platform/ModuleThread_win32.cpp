#include "platform/ModuleThread.h"

#include <windows.h>

namespace platform {

void runHoldingModule(std::function<void()> body) {
    // The module that holds this code: the plugin's DLL, or the program itself when linked in.
    HMODULE self = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCWSTR>(&runHoldingModule), &self))
        self = nullptr;
    body();
    body = nullptr;  // the body's captures end while the module is still held
    if (self)
        ::FreeLibraryAndExitThread(self, 0);
}

}  // namespace platform
