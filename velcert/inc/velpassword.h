// velpassword.h -- the database password.
//
// Holds the clear password bytes in wiped memory.  Equality is constant-time
// in the password's bytes.  An encryptor built without bytes is "absent".
#ifndef VELCERT_VELPASSWORD_H
#define VELCERT_VELPASSWORD_H

#include <cstddef>

#include "velbuffer.h"

class VELPasswordEncryptor {
 public:
  // CREATORS
  VELPasswordEncryptor() = default;  // absent
  explicit VELPasswordEncryptor(const VELBuffer& clear);
  VELPasswordEncryptor(const void* clear, std::size_t length);
  VELPasswordEncryptor(const VELPasswordEncryptor&) = default;
  VELPasswordEncryptor& operator=(const VELPasswordEncryptor&) = default;

  // ACCESSORS
  // A copy of the clear password, wiped when the copy is released.  The
  // bytes are the password as given, with no terminating zero.
  VELFastBuffer getClearPassword() const { return d_clear; }
  bool isPresent() const { return d_present; }
  std::size_t length() const { return d_clear.length(); }
  bool operator==(const VELPasswordEncryptor& other) const;
  bool operator!=(const VELPasswordEncryptor& other) const { return !(*this == other); }

 private:
  // DATA
  VELFastBuffer d_clear;
  bool d_present = false;
};

#endif
