// crypt_file.cpp - placeholder until the schedule reader lands.
#include "agent/backup/crypt_file.h"

int load_machine_key(unsigned char*) { return -1; }
void machine_key_forget() {}
int crypt_file_open(crypt_file*, FILE*, int) { return -1; }
char* crypt_file_gets(crypt_file*, char*, int) { return nullptr; }
void crypt_file_write(crypt_file*, const void*, size_t) {}
void crypt_file_finish(crypt_file*) {}
