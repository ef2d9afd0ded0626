#include "velpassword.h"

#include <openssl/crypto.h>

VELPasswordEncryptor::VELPasswordEncryptor(const VELBuffer& clear)
    : d_clear(clear.data(), clear.length()), d_present(true) {}

VELPasswordEncryptor::VELPasswordEncryptor(const void* clear, std::size_t length)
    : d_clear(clear, length), d_present(true) {}

bool VELPasswordEncryptor::operator==(const VELPasswordEncryptor& other) const {
  if (d_present != other.d_present) return false;
  if (d_clear.length() != other.d_clear.length()) return false;
  if (d_clear.length() == 0) return true;
  return CRYPTO_memcmp(d_clear.data(), other.d_clear.data(), d_clear.length()) == 0;
}
