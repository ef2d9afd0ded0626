// pkcs12.h -- key stores as PKCS#12 files, both ways: every bag of a file
// read (any number of keys and certificates, with their friendly names and
// trust marks), and a whole store written as one file.
//
// A certificate bag marked as a trust anchor carries the attribute
// 2.16.840.1.113894.746875.1.1 (trusted key usage) with the value
// anyExtendedKeyUsage: the mark other key stores write and read for a
// certificate trusted without a key of its own.
//
// A key pair (a private key waiting for its certificate) is a shrouded key
// bag and a secret bag of type id-cct-crs (1.3.6.1.5.5.7.12.1) whose value,
// an OCTET STRING, holds the certification request's DER; both carry the
// key pair's label as friendly name and the same local key ID (SHA-1 of
// the request's DER).  A CRL is a CRL bag (x509CRL) with its label as
// friendly name.  Other tools list the secret and CRL bags and pass them
// by.
#ifndef VELKDB_PKCS12_H
#define VELKDB_PKCS12_H

#include <openssl/pkcs12.h>

#include <string>
#include <vector>

#include "pki.h"

namespace velkdb {

// Appends every key, certificate, request (of a secret bag as above) and
// CRL of `p12` to `items`, each with its friendly name as label and, for a
// certificate, its trust mark.
// `password` (null for none) opens the encrypted contents and keys; the
// MAC has been checked by the caller.  Throws 0x8B67A naming `path` when a
// part does not open or asks for too costly a key derivation.
void readPKCS12Bags(const std::string& path, PKCS12* p12, const char* password, InputItems& items);

// One entry of a store written as PKCS#12.
struct StoreEntry {
  X509* cert = nullptr;
  EVP_PKEY* key = nullptr;  // null: a certificate without a key
  std::string label;        // the friendly name; none when empty
  bool trusted = false;     // certificates without a key only
};

// A key pair of a store: its private key and its request's DER.
struct StoreKeyPair {
  EVP_PKEY* key = nullptr;
  std::string requestDER;
  std::string label;
};

// A CRL of a store.
struct StoreCRL {
  X509_CRL* crl = nullptr;
  std::string label;
};

// A PKCS#12 file (DER) of every entry: keys with their certificates (tied
// by a local key ID), certificates without keys as certificate bags, the
// trusted ones marked so; then the key pairs and CRLs.  Keys, certificates,
// requests and CRLs are encrypted with AES-256-CBC under
// PBKDF2-HMAC-SHA256, the file has an HMAC-SHA256 MAC, each with
// `iterations` iterations.  Throws 0x8B67A for a store with nothing in it
// and when OpenSSL cannot.
std::string storePKCS12(const std::vector<StoreEntry>& entries, const Secret& password, int iterations,
                        const std::vector<StoreKeyPair>& keyPairs = {}, const std::vector<StoreCRL>& crls = {});

}  // namespace velkdb

#endif
