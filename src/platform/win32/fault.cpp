// fault.cpp - Windows part of the fault switch: an injected failure leaves
// its code in GetLastError (and for sockets in WSAGetLastError), and a kill
// is TerminateProcess of the process itself; a stop suspends the thread.
#include "platform/fault_backend.h"

#include <winsock2.h>
#include <windows.h>

void fault_backend_set_error(plat_fault_op op, int error) {
    if (op == PLAT_FAULT_SEND || op == PLAT_FAULT_RECV) WSASetLastError(error);
    SetLastError(static_cast<DWORD>(error));
}

void fault_backend_kill() {
    TerminateProcess(GetCurrentProcess(), 9);
    ExitProcess(9); // not reached: termination does not return to the caller
}

void fault_backend_stop() {
    // A process cannot stop all of its threads at once; the one at the
    // chosen call waits until a debugger (or ResumeThread) lets it go on.
    SuspendThread(GetCurrentThread());
}
