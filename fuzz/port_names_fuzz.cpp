// The two rules that turn a shown port name into a device path, and the
// natural order the Linux device list is sorted in.
//
// Input: three strings (FuzzedDataProvider). Checked:
// - each rule against a plain reference (one left-to-right pass over "COM",
//   no overlaps, case-sensitive), and the length each rule must give;
// - NaturalLess is a strict weak order (irreflexive, asymmetric, transitive,
//   and "neither less" is transitive), so std::sort never misbehaves on it;
// - runs of digits compare by value: "x" + n before "x" + (n + 1).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/ports.h"
#include "app/posix/serial_devices.h"

namespace {

void Check(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "port_names_fuzz: %s\n", what);
    std::abort();
  }
}

// Occurrences of "COM" a single left-to-right pass finds, and the text with
// each replaced by `with`.
std::string Reference(const std::string &s, const std::string &with, std::size_t *count) {
  std::string out;
  *count = 0;
  for (std::size_t i = 0; i < s.size();) {
    if (s.compare(i, 3, "COM") == 0) {
      out += with;
      ++*count;
      i += 3;
    } else {
      out += s[i++];
    }
  }
  return out;
}

void CheckRules(const std::string &s) {
  const std::string prefix = "\\\\.\\com";  // \\.\com, 7 characters
  std::size_t k = 0;
  const std::string atStart = app::ComPathAtStart(s);
  Check(atStart == prefix + Reference(s, "", &k), "start rule differs from the reference");
  Check(atStart.size() == prefix.size() + s.size() - 3 * k, "start rule length");
  const std::string onPick = app::ComPathOnPick(s);
  Check(onPick == Reference(s, prefix, &k), "pick rule differs from the reference");
  Check(onPick.size() == s.size() + (prefix.size() - 3) * k, "pick rule length");
  if (k == 0) Check(onPick == s, "a name without COM must pass the pick rule unchanged");
  // Lower-case "com" is not the marker: the rules are case-sensitive.
  if (s.find("COM") == std::string::npos) Check(atStart == prefix + s, "start rule on no COM");
}

void CheckOrder(const std::string &a, const std::string &b, const std::string &c) {
  using app::posix::NaturalLess;
  Check(!NaturalLess(a, a), "irreflexive");
  const bool ab = NaturalLess(a, b), ba = NaturalLess(b, a);
  const bool bc = NaturalLess(b, c), cb = NaturalLess(c, b);
  const bool ac = NaturalLess(a, c), ca = NaturalLess(c, a);
  Check(!(ab && ba), "asymmetric");
  if (ab && bc) Check(ac, "transitive");
  if (cb && ba) Check(ca, "transitive (reversed)");
  // Equivalence (neither is less) must be transitive too.
  if (!ab && !ba && !bc && !cb) Check(!ac && !ca, "equivalence is transitive");
  // Only equal strings are equivalent here: no two device paths tie.
  if (!ab && !ba) Check(a == b, "distinct names never tie");
}

void CheckDigitRuns(const std::string &stem, std::uint32_t n) {
  using app::posix::NaturalLess;
  const std::string lo = stem + std::to_string(n);
  const std::string hi = stem + std::to_string(static_cast<std::uint64_t>(n) + 1);
  // A stem ending in a digit joins the number; only a stem without a final
  // digit gives two numbers of known order.
  if (!stem.empty() && stem.back() >= '0' && stem.back() <= '9') return;
  Check(NaturalLess(lo, hi), "n before n + 1");
  Check(!NaturalLess(hi, lo), "n + 1 not before n");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string a = in.ConsumeRandomLengthString(64);
  const std::string b = in.ConsumeRandomLengthString(64);
  const std::uint32_t n = in.ConsumeIntegral<std::uint32_t>();
  const std::string c = in.ConsumeRemainingBytesAsString();
  CheckRules(a);
  CheckRules(c);
  CheckOrder(a, b, c);
  CheckDigitRuns(a, n);
  return 0;
}
