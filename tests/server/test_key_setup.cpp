// test_key_setup.cpp - the stores made by the server tests of this process
// take the tests' fixed RSA key (see support/test_rsa_key.cpp).
#include "support/test_rsa_key.h"
#include "tools/server/server.h"

namespace {
const bool fixed_key = (srv_store_key_for_tests(test_rsa_key_pem), true);
}
