// secretbytes.h -- bytes that are wiped when released: passwords and
// decrypted private keys.
#ifndef PROVIDER_SECRETBYTES_H
#define PROVIDER_SECRETBYTES_H

#include <openssl/crypto.h>

#include <cstddef>
#include <string>
#include <utility>

namespace velstore {

class SecretBytes {
 public:
  // CREATORS
  SecretBytes() = default;
  SecretBytes(const void* data, std::size_t length) : d_bytes(static_cast<const char*>(data), length) {}
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  SecretBytes(SecretBytes&& other) noexcept : d_bytes(std::move(other.d_bytes)) { other.wipe(); }
  SecretBytes& operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
      wipe();
      d_bytes.swap(other.d_bytes);
    }
    return *this;
  }
  ~SecretBytes() { wipe(); }

  // MANIPULATORS
  // Appends bytes; the old buffer is wiped when the string must grow.
  void append(const char* data, std::size_t length) {
    if (d_bytes.size() + length > d_bytes.capacity()) {
      std::string bigger;
      bigger.reserve(2 * (d_bytes.size() + length));
      bigger = d_bytes;
      wipe();
      d_bytes.swap(bigger);
    }
    d_bytes.append(data, length);
  }
  void popBack() {
    d_bytes.back() = '\0';
    d_bytes.pop_back();
  }
  void wipe() {
    if (!d_bytes.empty()) OPENSSL_cleanse(&d_bytes[0], d_bytes.size());
    d_bytes.clear();
  }

  // ACCESSORS
  const char* data() const { return d_bytes.data(); }
  const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(d_bytes.data()); }
  std::size_t size() const { return d_bytes.size(); }
  bool empty() const { return d_bytes.empty(); }
  char back() const { return d_bytes.back(); }

 private:
  // DATA
  std::string d_bytes;
};

}  // namespace velstore

#endif
