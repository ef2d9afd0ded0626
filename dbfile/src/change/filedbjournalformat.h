// filedbjournalformat.h -- the byte layout of a journal and of a
// transaction file, shared by the code that writes them and the code that
// recovers from them.  Included only by the change layer's sources.
#ifndef DBFILE_FILEDBJOURNALFORMAT_H
#define DBFILE_FILEDBJOURNALFORMAT_H

#include <cstddef>
#include <cstdint>

#include "filedbjournalkey.h"

namespace FileDBJournalFormat {

inline constexpr unsigned char kMagic[8] = {'V', 'E', 'L', 'J', 'R', 'N', 'L', '3'};
// Earlier layouts, never applied: "VELJRNL2" (this header, no header
// records) and "VELJRNL1" (no MAC at all).
inline constexpr unsigned char kLegacyMagic2[8] = {'V', 'E', 'L', 'J', 'R', 'N', 'L', '2'};
inline constexpr unsigned char kLegacyMagic1[8] = {'V', 'E', 'L', 'J', 'R', 'N', 'L', '1'};
inline constexpr std::uint64_t kMacSize = FileDBJournalKey::kSize;
inline constexpr std::uint64_t kWrappedSize = FileDBJournalKey::kWrappedSize;
// The journal's header:
//   0  magic "VELJRNL3"                        8 bytes
//   8  nonce, fresh for each journal           16
//  24  the table file's size before the change  8
//  32  the record key, wrapped under the table  40
//      journal key of the password the table
//      had when the change began
//  72  HMAC of bytes 0-71 under the record key  32
// 104  SHA-256 of bytes 0-103                  32 (tells a header cut short)
// "VELJRNL2" had the SHA-256 of its bytes 0-63 at 64; "VELJRNL1" that of
// its bytes 0-31 at 32.
inline constexpr std::size_t kNonceOffset = 8;
inline constexpr std::size_t kNonceSize = 16;
inline constexpr std::size_t kOriginalSizeOffset = 24;
inline constexpr std::size_t kWrappedKeyOffset = 32;
inline constexpr std::size_t kMacOffset = 72;  // also the end of what the MAC covers
inline constexpr std::size_t kChecksumOffset = 104;
inline constexpr std::uint64_t kHeaderSize = kChecksumOffset + 32;
inline constexpr std::size_t kLegacy2ChecksumOffset = 64;
inline constexpr std::size_t kLegacy1ChecksumOffset = 32;
// A record: the table offset and the length of the bytes it restores (8
// each), the bytes, then the MAC of nonce, offset, length and bytes.
inline constexpr std::size_t kRecordHeadSize = 16;
inline constexpr std::uint64_t kRecordOverhead = kRecordHeadSize + kMacSize;
// Records are cut into pieces of at most this size, so that recovery never
// needs more memory than this for one of them.
inline constexpr std::uint64_t kMaxRecordLength = 1u << 20;
// Overwrites held back for one journal sync, at most.
inline constexpr std::uint64_t kMaxDeferredBytes = 4u << 20;
// The record that ends the journal of one part of a transaction.
inline constexpr std::uint64_t kTransactionRecordOffset = ~std::uint64_t(0);
inline constexpr std::uint64_t kTransactionIDSize = 16;
// The records that tie a journal to its change: the table's first bytes
// before the change, and as a write of the change leaves them.  They cover
// the largest table header.
inline constexpr std::uint64_t kHeaderBeforeOffset = ~std::uint64_t(0) - 1;
inline constexpr std::uint64_t kHeaderAfterOffset = ~std::uint64_t(0) - 2;
// A record that opens the journal under another password: the record key
// wrapped under that password's table journal key (a change that changes
// the table's password writes one for the new password).
inline constexpr std::uint64_t kPasswordOffset = ~std::uint64_t(0) - 3;
inline constexpr std::uint64_t kBoundLength = 88;
inline constexpr unsigned char kTransactionMagic[8] = {'V', 'E', 'L', 'T', 'X', 'N', '0', '2'};
// A transaction file: magic "VELTXN02" (8 bytes), the transaction's ID
// (16), then the HMAC of both under the transaction file's key of each
// password that may recover the transaction (32 each, one or two: a
// transaction that changes the password names both).  The earlier
// layout ("VELTXN01") had the SHA-256 of the first 24 bytes in the MAC's
// place; it is never taken for a transaction that is still open.
inline constexpr std::size_t kTransactionIDOffset = 8;
inline constexpr std::size_t kTransactionMacOffset = kTransactionIDOffset + kTransactionIDSize;
inline constexpr std::uint64_t kMaxTransactionMacs = 2;

}  // namespace FileDBJournalFormat

#endif
