// keepalive.h - the backup thread's progress counter, read by the watchdog.
#pragma once

#include <cstdint>

void keepalive_bump();
uint32_t keepalive_value();
void keepalive_reset();
