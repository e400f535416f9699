// interrupts.cpp - Windows: the console's Ctrl-C, Ctrl-Break and close
// events counted by a console control handler instead of ending the process.
#include "platform/platform.h"

#include <windows.h>

namespace {

volatile LONG g_interrupts = 0;

BOOL WINAPI on_console_event(DWORD type) {
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        InterlockedIncrement(&g_interrupts);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

int plat_interrupts_catch() {
    return SetConsoleCtrlHandler(on_console_event, TRUE) ? 0 : -1;
}

uint32_t plat_interrupt_count() {
    return static_cast<uint32_t>(InterlockedCompareExchange(&g_interrupts, 0, 0));
}
