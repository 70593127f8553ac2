// minisign signatures, checked in-process with libsodium: the updater runs
// what it downloads as root, and an MD5 sum from the same server proves
// nothing against a tampered server or a man in the middle.
#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ornix_lib.h"
#include "safe_file.h"
#include "updater_internal.h"

namespace {

constexpr size_t kKeyFileCap = 4096;
constexpr size_t kSigFileCap = 4096;
constexpr size_t kKeyIdLen = 8;

struct PublicKey {
  unsigned char key_id[kKeyIdLen];
  unsigned char pk[crypto_sign_PUBLICKEYBYTES];
};

struct Signature {
  bool prehashed = false;
  unsigned char key_id[kKeyIdLen];
  unsigned char sig[crypto_sign_BYTES];
  std::string trusted_comment;
  unsigned char global_sig[crypto_sign_BYTES];
};

bool read_small(const std::string &path, size_t cap, std::string *text, std::string *why) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) {
    *why = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  char buf[4096];
  ssize_t n;
  while ((n = read(fd.get(), buf, sizeof buf)) > 0) {
    text->append(buf, static_cast<size_t>(n));
    if (text->size() > cap) {
      *why = path + " is too large";
      return false;
    }
  }
  if (n < 0) {
    *why = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
    pos = end + 1;
  }
  return out;
}

// Standard Base64 of exactly want bytes.
bool decode_exact(const std::string &b64, unsigned char *out, size_t want) {
  std::vector<unsigned char> buf(want + 3);
  size_t len = 0;
  if (sodium_base642bin(buf.data(), buf.size(), b64.data(), b64.size(), nullptr, &len, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0 ||
      len != want)
    return false;
  memcpy(out, buf.data(), want);
  return true;
}

bool load_key(const std::string &path, PublicKey *key, std::string *why) {
  std::string text;
  if (!read_small(path, kKeyFileCap, &text, why)) return false;
  for (const std::string &line : lines_of(text)) {
    if (line.empty() || line.rfind("untrusted comment:", 0) == 0) continue;
    unsigned char raw[2 + kKeyIdLen + crypto_sign_PUBLICKEYBYTES];
    if (!decode_exact(line, raw, sizeof raw) || raw[0] != 'E' || raw[1] != 'd') break;
    memcpy(key->key_id, raw + 2, kKeyIdLen);
    memcpy(key->pk, raw + 2 + kKeyIdLen, sizeof key->pk);
    return true;
  }
  *why = "public key file " + path + " holds no minisign Ed25519 key";
  return false;
}

bool load_signature(const std::string &path, Signature *sig, std::string *why) {
  std::string text;
  if (!read_small(path, kSigFileCap, &text, why)) return false;
  std::vector<std::string> l = lines_of(text);
  const char *tc = "trusted comment: ";
  unsigned char raw[2 + kKeyIdLen + crypto_sign_BYTES];
  if (l.size() < 4 || l[0].rfind("untrusted comment:", 0) != 0 ||
      !decode_exact(l[1], raw, sizeof raw) || l[2].rfind(tc, 0) != 0 ||
      !decode_exact(l[3], sig->global_sig, sizeof sig->global_sig)) {
    *why = "signature file " + path + " is not a minisign signature";
    return false;
  }
  if (raw[0] == 'E' && raw[1] == 'd') {
    sig->prehashed = false;
  } else if (raw[0] == 'E' && raw[1] == 'D') {
    sig->prehashed = true;
  } else {
    *why = "unknown signature algorithm in " + path;
    return false;
  }
  memcpy(sig->key_id, raw + 2, kKeyIdLen);
  memcpy(sig->sig, raw + 2 + kKeyIdLen, sizeof sig->sig);
  sig->trusted_comment = l[2].substr(strlen(tc));
  return true;
}

// The signed message of a prehashed signature: BLAKE2b-512 of the file.
bool hash_file(const std::string &path, unsigned char out[crypto_generichash_BYTES_MAX],
               std::string *why) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) {
    *why = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  crypto_generichash_state st;
  crypto_generichash_init(&st, nullptr, 0, crypto_generichash_BYTES_MAX);
  unsigned char buf[8192];
  ssize_t n;
  while ((n = read(fd.get(), buf, sizeof buf)) > 0)
    crypto_generichash_update(&st, buf, static_cast<unsigned long long>(n));
  if (n < 0) {
    *why = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  crypto_generichash_final(&st, out, crypto_generichash_BYTES_MAX);
  return true;
}

bool verify_data(const PublicKey &key, const Signature &sig, const std::string &data_file,
                 std::string *why) {
  if (sig.prehashed) {
    unsigned char h[crypto_generichash_BYTES_MAX];
    if (!hash_file(data_file, h, why)) return false;
    return crypto_sign_verify_detached(sig.sig, h, sizeof h, key.pk) == 0;
  }
  std::string data;
  if (!read_small(data_file, kScriptFileCap, &data, why)) return false;
  return crypto_sign_verify_detached(sig.sig, reinterpret_cast<const unsigned char *>(data.data()),
                                     data.size(), key.pk) == 0;
}

long long comment_timestamp(const std::string &comment) {
  size_t at = comment.find("timestamp:");
  if (at == std::string::npos) return -1;
  const char *p = comment.c_str() + at + strlen("timestamp:");
  if (*p < '0' || *p > '9') return -1;
  errno = 0;
  char *end = nullptr;
  long long v = strtoll(p, &end, 10);
  if (errno != 0) return -1;
  return v;
}

std::string list_time_path(void) { return OrnixBinPath + "/.ornixup_list_time"; }

}  // namespace

int verify_signature(const std::string &key_file, const std::string &data_file,
                     const std::string &sig_file, long long *timestamp, std::string *why) {
  if (sodium_init() < 0) {
    *why = "libsodium could not be initialised";
    return -1;
  }
  PublicKey key;
  Signature sig;
  if (!load_key(key_file, &key, why) || !load_signature(sig_file, &sig, why)) return -1;
  if (memcmp(key.key_id, sig.key_id, kKeyIdLen) != 0) {
    *why = "signed with another key than " + key_file;
    return -1;
  }
  if (!verify_data(key, sig, data_file, why)) {
    if (why->empty()) *why = "signature does not match the file";
    return -1;
  }
  std::string global(reinterpret_cast<const char *>(sig.sig), sizeof sig.sig);
  global += sig.trusted_comment;
  if (crypto_sign_verify_detached(sig.global_sig, reinterpret_cast<const unsigned char *>(global.data()),
                                  global.size(), key.pk) != 0) {
    *why = "trusted comment signature does not match";
    return -1;
  }
  *timestamp = comment_timestamp(sig.trusted_comment);
  return 0;
}

int accept_list_time(long long timestamp, std::string *why) {
  if (timestamp < 0) {
    *why = "the trusted comment carries no timestamp";
    return -1;
  }
  std::string path = list_time_path();
  std::string text, ignored;
  long long last = -1;
  if (read_small(path, 64, &text, &ignored)) last = strtoll(text.c_str(), nullptr, 10);
  if (timestamp < last) {
    *why = "older than the last accepted list (timestamp " + std::to_string(timestamp) + " < " +
           std::to_string(last) + ")";
    return -1;
  }
  if (timestamp == last) return 0;
  std::string err;
  if (atomic_replace(path.c_str(), std::to_string(timestamp) + "\n", 0644, &err) != 0) {
    *why = "cannot record the list time: " + err;
    return -1;
  }
  return 0;
}
