// Times the hand-written Japanese converters against glibc's iconv doing the
// same conversion on the same text and prints the speed ratios
// (iconv time / ours; above 1.0 = ours is faster). Texts are converted in
// 4000-byte pieces, the size of header words and template lines.
#include <iconv.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "convert.h"

namespace {

constexpr size_t PIECE = 4000;

std::string sample_euc() {
  std::string s;
  for (int r = 0xB0; r <= 0xCE; r++)  // rows 16 to 46: every cell assigned
    for (int c = 0xA1; c <= 0xFE; c++) {
      s.push_back(static_cast<char>(r));
      s.push_back(static_cast<char>(c));
      if (c % 16 == 0) s += " ab";
    }
  return s;
}

std::string via_iconv(const char *from, const char *to, const std::string &in) {
  iconv_t cd = iconv_open(to, from);
  std::vector<char> out(in.size() * 4 + 16);
  char *ip = const_cast<char *>(in.data());
  size_t il = in.size();
  char *op = out.data();
  size_t ol = out.size();
  iconv(cd, &ip, &il, &op, &ol);
  iconv(cd, nullptr, nullptr, &op, &ol);
  iconv_close(cd);
  return std::string(out.data(), op);
}

// Cuts text into pieces on character boundaries of a two-byte encoding
// whose single bytes are below 0x80 (or the UTF-8 lead rule).
std::vector<std::string> pieces(const std::string &text, bool utf8) {
  std::vector<std::string> v;
  size_t i = 0;
  while (i < text.size()) {
    size_t j = std::min(text.size(), i + PIECE);
    auto cont = [&](size_t k) { return (static_cast<unsigned char>(text[k]) & 0xC0) == 0x80; };
    if (utf8)
      while (j < text.size() && cont(j)) j--;
    else {
      // keep pairs together: count high bytes from i
      size_t k = i;
      while (k < j) k += static_cast<unsigned char>(text[k]) >= 0x80 ? 2 : 1;
      j = std::min(k, text.size());
    }
    v.push_back(text.substr(i, j - i));
    i = j;
  }
  return v;
}

template <class F>
double best_of(F f) {
  double best = 1e9;
  for (int r = 0; r < 5; r++) {
    auto s = std::chrono::steady_clock::now();
    f();
    std::chrono::duration<double> d = std::chrono::steady_clock::now() - s;
    best = std::min(best, d.count());
  }
  return best;
}

void compare(const char *name, const std::vector<std::string> &in, const char *from, const char *to,
             size_t (*ours)(const char *, size_t, char *, size_t), int rounds) {
  std::vector<char> out(PIECE * 4 + 16);
  size_t sink = 0;
  // both must produce the same text, or the timing compares different work
  for (const std::string &p : in) {
    size_t n = ours(p.data(), p.size(), out.data(), out.size());
    if (std::string(out.data(), n) != via_iconv(from, to, p)) {
      printf("%-9s outputs differ from iconv\n", name);
      return;
    }
  }
  double t_ours = best_of([&] {
    for (int k = 0; k < rounds; k++)
      for (const std::string &p : in) sink += ours(p.data(), p.size(), out.data(), out.size());
  });
  iconv_t cd = iconv_open(to, from);
  double t_iconv = best_of([&] {
    for (int k = 0; k < rounds; k++)
      for (const std::string &p : in) {
        char *ip = const_cast<char *>(p.data());
        size_t il = p.size();
        char *op = out.data();
        size_t ol = out.size();
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        iconv(cd, &ip, &il, &op, &ol);
        iconv(cd, nullptr, nullptr, &op, &ol);
        sink += out.size() - ol;
      }
  });
  iconv_close(cd);
  printf("%-9s ornix %.3f s, iconv %.3f s, speed ratio %.2f (%zu)\n", name, t_ours, t_iconv,
         t_iconv / t_ours, sink % 10);
}

}  // namespace

int main() {
  std::string euc = sample_euc();
  std::string sjis = via_iconv("EUC-JP", "SHIFT_JIS", euc);
  std::string jis = via_iconv("EUC-JP", "ISO-2022-JP", euc);
  std::string utf = via_iconv("EUC-JP", "UTF-8", euc);
  if (euc.empty() || sjis.empty() || jis.empty() || utf.empty()) {
    fprintf(stderr, "iconv cannot convert the sample text\n");
    return 1;
  }
  const int rounds = 500;
  compare("euc2jis", pieces(euc, false), "EUC-JP", "ISO-2022-JP", euc2jis_n, rounds);
  compare("sjis2euc", pieces(sjis, false), "SHIFT_JIS", "EUC-JP", sjis2euc_n, rounds);
  compare("euc2sjis", pieces(euc, false), "EUC-JP", "SHIFT_JIS", euc2sjis_n, rounds);
  compare("utf2euc", pieces(utf, true), "UTF-8", "EUC-JP", utf2euc_n, rounds);
  // ISO-2022-JP pieces may cut an escape sequence; both sides see the same cut
  std::vector<std::string> jp;
  for (size_t i = 0; i < jis.size(); i += PIECE) jp.push_back(jis.substr(i, PIECE));
  compare("jis2euc", jp, "ISO-2022-JP", "EUC-JP", jis2euc_n, rounds);
  return 0;
}
