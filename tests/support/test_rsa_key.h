// test_rsa_key.h - the fixed RSA private key (PEM) of the tests.
#pragma once

extern const char test_rsa_key_pem[];
