// fault.cpp - Linux part of the fault switch: an injected failure leaves its
// error in errno (sockets included), a kill is a real SIGKILL and a stop a
// real SIGSTOP.
#include "platform/fault_backend.h"

#include <cerrno>
#include <csignal>
#include <unistd.h>

void fault_backend_set_error(plat_fault_op, int error) {
    errno = error;
}

void fault_backend_kill() {
    kill(getpid(), SIGKILL);
    _exit(128 + SIGKILL); // not reached: SIGKILL cannot be caught
}

void fault_backend_stop() {
    kill(getpid(), SIGSTOP); // returns once SIGCONT arrives
}
