#include "sanitizer/patterns.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <hs/hs.h>
#include <pcre2.h>

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <utility>

#include "util/json.h"

namespace korvel::sanitizer {
namespace {

// The six patterns. Arrays, so that each is also a NUL-terminated text for Vectorscan.
constexpr char kApiKeySk[] = "sk-[a-zA-Z0-9]{20,}";
constexpr char kApiKeyAws[] = "AkIA[0-9A-Z]{16}";
constexpr char kApiKeyGh[] = "ghp_[a-zA-Z0-9]{36,}";
constexpr char kJwt[] = R"(eyJ[A-Za-z0-9_-]{20,}\.eyJ[A-Za-z0-9_-]*\.[A-Za-z0-9_-]*)";
constexpr char kLongHex[] = "[0-9a-fA-F]{32,}";
constexpr char kSsn[] = R"(\b\d{3}-\d{2}-\d{4}\b)";
// The shortest run kLongHex matches.
constexpr std::size_t kHexRunBytes = 32;

constexpr char kCompileFailure[] = "sanitizer pattern failed to compile";

enum class Search : std::uint8_t { NotFound, Found, Failed };

// A process-wide object built on first use and never destroyed, so that a thread still searching
// while the process exits never meets a freed pattern.
template <class T>
class Immortal {
 public:
  template <class... Args>
  explicit Immortal(Args&&... args) {
    ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
  }
  Immortal(const Immortal&) = delete;
  Immortal& operator=(const Immortal&) = delete;
  const T& get() const noexcept { return *std::launder(reinterpret_cast<const T*>(storage_)); }

 private:
  alignas(T) std::byte storage_[sizeof(T)];
};

struct CodeFree {
  void operator()(pcre2_code* code) const noexcept { pcre2_code_free(code); }
};
struct MatchDataFree {
  void operator()(pcre2_match_data* data) const noexcept { pcre2_match_data_free(data); }
};
struct DatabaseFree {
  void operator()(hs_database_t* database) const noexcept { hs_free_database(database); }
};
struct ScratchFree {
  void operator()(hs_scratch_t* scratch) const noexcept { hs_free_scratch(scratch); }
};
struct CompileErrorFree {
  void operator()(hs_compile_error_t* error) const noexcept { hs_free_compile_error(error); }
};
using CodePtr = std::unique_ptr<pcre2_code, CodeFree>;
using MatchDataPtr = std::unique_ptr<pcre2_match_data, MatchDataFree>;
using DatabasePtr = std::unique_ptr<hs_database_t, DatabaseFree>;
using ScratchPtr = std::unique_ptr<hs_scratch_t, ScratchFree>;
using CompileErrorPtr = std::unique_ptr<hs_compile_error_t, CompileErrorFree>;

}  // namespace

struct Pattern::Compiled {
  CodePtr code;
};

namespace {

CodePtr compile(std::string_view text, std::uint32_t extra_options) {
  int error = 0;
  PCRE2_SIZE error_offset = 0;
  CodePtr code(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(),
                             PCRE2_UTF | PCRE2_UCP | extra_options, &error, &error_offset,
                             nullptr));
  if (!code) {
    if (error == PCRE2_ERROR_NOMEMORY) throw std::bad_alloc();
    throw std::logic_error(kCompileFailure);
  }
  // Where JIT is unavailable or fails, pcre2_match runs the interpreter on the same code.
  pcre2_jit_compile(code.get(), PCRE2_JIT_COMPLETE);
  return code;
}

// Search state of one thread, created on its first search and freed when the thread ends.
struct ThreadState {
  MatchDataPtr match_data;  // one pair is enough for every pattern: only existence is asked
  ScratchPtr scratch;       // the scanner's, cloned from its prototype
};
thread_local ThreadState thread_state;

pcre2_match_data* thread_match_data() noexcept {
  if (!thread_state.match_data) thread_state.match_data.reset(pcre2_match_data_create(1, nullptr));
  return thread_state.match_data.get();
}

hs_scratch_t* thread_scratch(const hs_scratch_t* prototype) noexcept {
  if (!thread_state.scratch) {
    hs_scratch_t* clone = nullptr;
    if (hs_clone_scratch(prototype, &clone) == HS_SUCCESS) thread_state.scratch.reset(clone);
  }
  return thread_state.scratch.get();
}

// The engines reject a null subject even when it is empty.
const char* subject(std::string_view text) noexcept { return text.empty() ? "" : text.data(); }

// An unanchored search from start, a character boundary of valid UTF-8 text.
Search search(const pcre2_code* code, std::string_view text, std::size_t start) noexcept {
  pcre2_match_data* match_data = thread_match_data();
  if (!match_data) return Search::Failed;
  int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject(text)), text.size(), start,
                       PCRE2_NO_UTF_CHECK, match_data, nullptr);
  if (rc >= 0) return Search::Found;  // 0 only says the one-pair vector was too small
  return rc == PCRE2_ERROR_NOMATCH ? Search::NotFound : Search::Failed;
}

template <const char* Text>
const Pattern& shared_pattern() {
  static const Immortal<Pattern> pattern{std::string_view(Text)};
  return pattern.get();
}

using Accessor = const Pattern& (*)();
constexpr std::array<Accessor, 6> kPlainOrder = {api_key_sk, api_key_aws, api_key_gh,
                                                 jwt,        long_hex,    ssn};

Search search_plain(std::string_view text) {
  for (Accessor pattern : kPlainOrder) {
    Search result = search(pattern().compiled().code.get(), text, 0);
    if (result != Search::NotFound) return result;
  }
  return Search::NotFound;
}

// The four patterns with literal prefixes go to Vectorscan. They are ASCII, which in valid UTF-8
// never occurs inside a multibyte character, so its byte-wise answer is exact. The other two are
// decided by has_long_hex_run and find_ssn, each faster than Vectorscan at its one pattern.
constexpr std::array<const char*, 4> kPrefixedExpressions = {kApiKeySk, kApiKeyAws, kApiKeyGh,
                                                             kJwt};
constexpr std::array<unsigned, 4> kPrefixedFlags = {HS_FLAG_SINGLEMATCH, HS_FLAG_SINGLEMATCH,
                                                    HS_FLAG_SINGLEMATCH, HS_FLAG_SINGLEMATCH};
constexpr std::array<unsigned, 4> kPrefixedIds = {0, 1, 2, 3};

DatabasePtr build_prefixed_database() noexcept {
  hs_database_t* database = nullptr;
  hs_compile_error_t* error = nullptr;
  hs_error_t rc =
      hs_compile_multi(kPrefixedExpressions.data(), kPrefixedFlags.data(), kPrefixedIds.data(),
                       kPrefixedExpressions.size(), HS_MODE_BLOCK, nullptr, &database, &error);
  CompileErrorPtr error_owner(error);
  return rc == HS_SUCCESS ? DatabasePtr(database) : nullptr;
}

ScratchPtr allocate_scratch(const hs_database_t* database) noexcept {
  hs_scratch_t* scratch = nullptr;
  if (!database || hs_alloc_scratch(database, &scratch) != HS_SUCCESS) return nullptr;
  return ScratchPtr(scratch);
}

int stop_at_first_match(unsigned, unsigned long long, unsigned long long, unsigned,
                        void*) noexcept {
  return 1;
}

Search scan_database(const hs_database_t* database, std::string_view text,
                     hs_scratch_t* scratch) noexcept {
  hs_error_t rc = hs_scan(database, subject(text), static_cast<unsigned>(text.size()), 0, scratch,
                          stop_at_first_match, nullptr);
  if (rc == HS_SCAN_TERMINATED) return Search::Found;
  return rc == HS_SUCCESS ? Search::NotFound : Search::Failed;
}

bool is_hex_digit(char byte) noexcept {
  auto lower = static_cast<unsigned char>(byte | 0x20);
  return (byte >= '0' && byte <= '9') || (lower >= 'a' && lower <= 'f');
}

// The long_hex pattern, exactly. Reads the last byte of the earliest window that could hold a
// run, and back from there only while it sees hexadecimal digits: on ordinary text it moves on
// by about a window per byte read, and it never reads a byte twice.
bool has_long_hex_run(std::string_view text) noexcept {
  std::size_t start = 0;     // every run not yet ruled out begins at or after start
  std::size_t verified = 0;  // text[start, verified) are hexadecimal digits
  while (text.size() - start >= kHexRunBytes) {
    std::size_t last = start + kHexRunBytes - 1;
    std::size_t low = last + 1;
    while (low > verified && is_hex_digit(text[low - 1])) --low;
    if (low == verified) return true;
    start = low;  // text[low - 1] is no digit, so no run covers it
    verified = last + 1;
  }
  return false;
}

bool is_base64url(char byte) noexcept {
  auto lower = static_cast<unsigned char>(byte | 0x20);
  return (byte >= '0' && byte <= '9') || (lower >= 'a' && lower <= 'z') || byte == '_' || byte == '-';
}

// The jwt pattern, exactly, in one pass. Its first segment is the tail of a maximal run of
// base64url characters that ends at a dot and holds "eyJ" at least 20 characters before that
// dot (the earliest "eyJ" gives the longest tail); the second is a run that starts with "eyJ"
// right after the dot and ends at a dot; the third may be empty. The unanchored PCRE2 search
// rescans a run from every "eyJ" in it, which is quadratic on a long run of them.
bool has_jwt(std::string_view text) noexcept {
  constexpr std::string_view kHead = "eyJ";
  constexpr std::size_t kMinFirstTail = 20;
  auto run_end = [&](std::size_t from) {
    while (from < text.size() && is_base64url(text[from])) ++from;
    return from;
  };
  for (std::size_t begin = 0; begin < text.size();) {
    if (!is_base64url(text[begin])) {
      ++begin;
      continue;
    }
    const std::size_t end = run_end(begin);
    const std::size_t head = text.substr(begin, end - begin).find(kHead);
    if (end < text.size() && text[end] == '.' && head != std::string_view::npos &&
        end - (begin + head + kHead.size()) >= kMinFirstTail && text.substr(end + 1, kHead.size()) == kHead) {
      const std::size_t second_end = run_end(end + 1);
      if (second_end < text.size() && text[second_end] == '.') return true;
    }
    begin = end;
  }
  return false;
}

bool is_continuation(char byte) noexcept {
  return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// Length in bytes of the character at offset if it may be a digit of the ssn pattern: an ASCII
// digit, or any multibyte character, since PCRE2 alone knows which of those are digits. 0 if not.
std::size_t digit_candidate_length(std::string_view text, std::size_t offset) noexcept {
  if (offset >= text.size()) return 0;
  auto lead = static_cast<unsigned char>(text[offset]);
  if (lead >= '0' && lead <= '9') return 1;
  std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  return offset + length <= text.size() ? length : 0;
}

// Whether `count` possible digits start at offset, which then moves past them.
bool skip_digit_candidates(std::string_view text, std::size_t& offset, int count) noexcept {
  for (int i = 0; i < count; ++i) {
    std::size_t length = digit_candidate_length(text, offset);
    if (length == 0) return false;
    offset += length;
  }
  return true;
}

bool skip_hyphen(std::string_view text, std::size_t& offset) noexcept {
  if (offset >= text.size() || text[offset] != '-') return false;
  ++offset;
  return true;
}

// The offset `count` characters before offset, or npos if the text has fewer.
std::size_t chars_before(std::string_view text, std::size_t offset, int count) noexcept {
  for (int i = 0; i < count; ++i) {
    if (offset == 0) return std::string_view::npos;
    --offset;
    while (offset > 0 && is_continuation(text[offset])) --offset;
  }
  return offset;
}

// Where an ssn match whose first hyphen is at `hyphen` would start: three characters before it.
// npos unless the text around the hyphen has the shape of such a match, digits widened as above.
// The text after the hyphen is read first: in prose a hyphen is rarely followed by a digit.
std::size_t ssn_start_around(std::string_view text, std::size_t hyphen) noexcept {
  std::size_t at = hyphen + 1;
  if (!skip_digit_candidates(text, at, 2) || !skip_hyphen(text, at) ||
      !skip_digit_candidates(text, at, 4)) {
    return std::string_view::npos;
  }
  std::size_t start = chars_before(text, hyphen, 3);
  at = start;
  bool shaped =
      start != std::string_view::npos && skip_digit_candidates(text, at, 3) && at == hyphen;
  return shaped ? start : std::string_view::npos;
}

// The ssn pattern, exactly. Every match has a first hyphen around which ssn_start_around finds
// its start, so one anchored PCRE2 match there decides each hyphen of that shape. Such hyphens
// are at least eight characters apart, which bounds the work per byte below that of a plain
// unanchored search.
Search find_ssn(std::string_view text, const pcre2_code* anchored_ssn) noexcept {
  for (std::size_t hyphen = text.find('-'); hyphen != std::string_view::npos;
       hyphen = text.find('-', hyphen + 1)) {
    std::size_t start = ssn_start_around(text, hyphen);
    if (start == std::string_view::npos) continue;
    Search result = search(anchored_ssn, text, start);
    if (result != Search::NotFound) return result;
  }
  return Search::NotFound;
}

// The six patterns in three fast passes. Unusable if Vectorscan cannot build its database on
// this machine; then every scan reports Failed and the caller takes the plain procedure.
class Scanner {
 public:
  Scanner()
      : anchored_ssn_(compile(kSsn, PCRE2_ANCHORED)),
        prefixed_(build_prefixed_database()),
        prototype_(allocate_scratch(prefixed_.get())) {}

  Search scan(std::string_view text) const noexcept {
    if (!prototype_ || text.size() > UINT_MAX) return Search::Failed;
    hs_scratch_t* scratch = thread_scratch(prototype_.get());
    if (!scratch) return Search::Failed;
    Search result = scan_database(prefixed_.get(), text, scratch);
    if (result == Search::NotFound && has_long_hex_run(text)) result = Search::Found;
    if (result == Search::NotFound) result = find_ssn(text, anchored_ssn_.get());
    return result;
  }

 private:
  CodePtr anchored_ssn_;  // kSsn, matching only where a search starts
  DatabasePtr prefixed_;
  ScratchPtr prototype_;  // never scanned with; each thread scans with its own clone
};

// Without the scanner: the three bounded PCRE2 searches, the two exact one-pass checks, then
// the ssn search, whose work per start is bounded too. Never quadratic, unlike the plain jwt
// search.
Search search_without_scanner(std::string_view text) {
  for (Accessor pattern : {api_key_sk, api_key_aws, api_key_gh}) {
    Search result = search(pattern().compiled().code.get(), text, 0);
    if (result != Search::NotFound) return result;
  }
  if (has_jwt(text) || has_long_hex_run(text)) return Search::Found;
  return search(ssn().compiled().code.get(), text, 0);
}

Search search_fast(std::string_view text) {
  static const Immortal<Scanner> scanner;
  return scanner.get().scan(text);
}

Search guarded(Search (*procedure)(std::string_view), std::string_view text) noexcept {
  try {
    return procedure(text);
  } catch (...) {
    return Search::Failed;
  }
}

// Failed means memory ran out twice over; true is the safe answer, since a false "no" lets a
// credential through unlabelled while a false "yes" only blocks later calls.
bool answer(Search result) noexcept { return result != Search::NotFound; }

}  // namespace

Pattern::Pattern(std::string_view text)
    : text_(text), compiled_(std::make_unique<const Compiled>(Compiled{compile(text, 0)})) {}

Pattern::~Pattern() = default;

bool Pattern::matches(std::string_view data) const noexcept {
  if (!util::json::valid_utf8(data)) return false;
  return answer(search(compiled_->code.get(), data, 0));
}

const Pattern& api_key_sk() { return shared_pattern<kApiKeySk>(); }
const Pattern& api_key_aws() { return shared_pattern<kApiKeyAws>(); }
const Pattern& api_key_gh() { return shared_pattern<kApiKeyGh>(); }
const Pattern& jwt() { return shared_pattern<kJwt>(); }
const Pattern& long_hex() { return shared_pattern<kLongHex>(); }
const Pattern& ssn() { return shared_pattern<kSsn>(); }

bool matches_suspicious(std::string_view data) noexcept {
  if (!util::json::valid_utf8(data)) return false;
  Search result = guarded(search_fast, data);
  if (result == Search::Failed) result = guarded(search_without_scanner, data);
  return answer(result);
}

bool matches_suspicious_without_scanner(std::string_view data) noexcept {
  if (!util::json::valid_utf8(data)) return false;
  return answer(guarded(search_without_scanner, data));
}

bool matches_suspicious_plain(std::string_view data) noexcept {
  if (!util::json::valid_utf8(data)) return false;
  return answer(guarded(search_plain, data));
}

}  // namespace korvel::sanitizer
