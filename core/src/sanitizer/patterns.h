// Sensitive-content patterns: six fixed regular expressions that flag credentials and personal
// data in tool output, and the one question the engine asks of them.
//
// The answer depends on the bytes alone: invalid UTF-8 is never suspicious; valid UTF-8 is
// suspicious exactly when one of the six patterns matches somewhere in it, with `\d` any Unicode
// decimal digit and `\b` a Unicode word boundary.
//
// Thread safety: every function may be called from any number of threads at once. Each pattern,
// and the multi-pattern scanner behind matches_suspicious, is compiled once per process on first
// use and never freed; per-thread search state is created on a thread's first call. Cost:
// matches_suspicious is linear in the length of the text; a single pattern's search, and so the
// plain procedure, need not be (the jwt search rescans a run from every "eyJ" in it), which is
// why they serve as references only. matches_suspicious and Pattern::matches never throw; when memory runs out
// mid-search their answer is true, because a false "no" would let a credential through unlabelled,
// while a false "yes" only blocks later calls.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace korvel::sanitizer {

// One compiled pattern, shared read-only by every thread.
class Pattern {
 public:
  struct Compiled;  // The regular-expression engine's state; defined by the implementation.

  // Compiles text with the Unicode semantics above. Throws std::bad_alloc when out of memory and
  // std::logic_error for a text that is not a valid pattern.
  explicit Pattern(std::string_view text);
  ~Pattern();
  Pattern(const Pattern&) = delete;
  Pattern& operator=(const Pattern&) = delete;

  std::string_view text() const noexcept { return text_; }
  // Whether the pattern matches somewhere in data; false for invalid UTF-8, true if the search
  // cannot run for want of memory.
  bool matches(std::string_view data) const noexcept;

  const Compiled& compiled() const noexcept { return *compiled_; }

 private:
  std::string text_;
  std::unique_ptr<const Compiled> compiled_;
};

// The six patterns, in the order matches_suspicious_plain tries them. Each compiles on its first
// call; should that run out of memory it throws std::bad_alloc, and a later call tries again.
const Pattern& api_key_sk();
const Pattern& api_key_aws();
const Pattern& api_key_gh();
const Pattern& jwt();
const Pattern& long_hex();
const Pattern& ssn();

// Whether data, which may be empty and need not be NUL-terminated, looks like it carries a
// credential or personal data. The first call in a process builds a multi-pattern scanner (tens
// of milliseconds); if it cannot be built or run, the answer comes from
// matches_suspicious_without_scanner, the same answer more slowly.
bool matches_suspicious(std::string_view data) noexcept;

// The same answer without the multi-pattern scanner, still linear in the text: PCRE2 for the
// patterns whose searches are bounded, exact one-pass checks for jwt and long_hex.
bool matches_suspicious_without_scanner(std::string_view data) noexcept;

// The literal procedure: validate, then search with each pattern in order, stopping at the first
// that matches. Compiles a pattern only when every earlier one has failed on some input.
bool matches_suspicious_plain(std::string_view data) noexcept;

}  // namespace korvel::sanitizer
