#include "util/seeded_hash.h"

#include <sys/random.h>

#include <chrono>
#include <cstring>
#include <random>

namespace korvel::util {
namespace {

constexpr std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  std::uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }
  void absorb(std::uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

std::uint64_t load_le64(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

bool fill_from_system(void* out, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(out);
  std::size_t done = 0;
  while (done < size) {
    ssize_t got = getrandom(bytes + done, size - done, 0);
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

std::uint64_t siphash13(HashSeed seed, const void* data, std::size_t size) {
  SipState s{seed.k0 ^ 0x736f6d6570736575ULL, seed.k1 ^ 0x646f72616e646f6dULL,
             seed.k0 ^ 0x6c7967656e657261ULL, seed.k1 ^ 0x7465646279746573ULL};
  const auto* p = static_cast<const unsigned char*>(data);
  const std::size_t whole = size & ~std::size_t{7};
  for (std::size_t i = 0; i < whole; i += 8) s.absorb(load_le64(p + i));
  std::uint64_t last = static_cast<std::uint64_t>(size) << 56;
  for (std::size_t i = 0; i < (size & 7); ++i) last |= static_cast<std::uint64_t>(p[whole + i]) << (8 * i);
  s.absorb(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

HashSeed process_seed() {
  static const HashSeed seed = random_seed();
  return seed;
}

HashSeed random_seed() {
  HashSeed seed;
  if (fill_from_system(&seed, sizeof seed)) return seed;
  try {
    std::random_device device;
    seed.k0 = (std::uint64_t{device()} << 32) | device();
    seed.k1 = (std::uint64_t{device()} << 32) | device();
    return seed;
  } catch (...) {
  }
  const auto now = static_cast<std::uint64_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count());
  seed.k0 = now ^ reinterpret_cast<std::uintptr_t>(&seed);
  seed.k1 = rotl(now, 29) ^ reinterpret_cast<std::uintptr_t>(&random_seed);
  return seed;
}

}  // namespace korvel::util
