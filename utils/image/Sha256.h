// SHA-256 of the image file, for the technician to compare with the digest of the release notes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct Sha256 {
    uint32_t state[8];
    uint64_t length;  // bytes added so far
    uint8_t block[64];
    size_t used;  // bytes of `block` filled
};

void Sha256Start(Sha256* sha);
void Sha256Add(Sha256* sha, const void* bytes, size_t count);
// The digest as 64 lower-case hex digits, as sha256sum prints it; ends the computation.
std::string Sha256Finish(Sha256* sha);
