// server_version.cpp - the reference server's version text.
const char* tavni_server_version() { return "tavni-server 0.1"; }
