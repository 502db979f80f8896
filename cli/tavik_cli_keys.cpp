// Where the tool's keys lie by default, and public keys in any of the forms the tool reads.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tavik_cli_commands.h"
#include "tavik_cli_hybrid.h"
#include "tavik_der.h"
#include "tavik_hybrid_der.h"

namespace tavik_cli {

namespace {

constexpr const char *OLD_SECRET_KEY = "tavik.sec";

bool exists(const std::string &path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// The folder the tool's configuration lives in, without its trailing "tavik".
std::string config_home() {
  const char *xdg = getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;  // a relative one is ignored, as the convention says
  const char *home = getenv("HOME");
  if (home == nullptr || home[0] != '/')
    throw Error{"no home folder (HOME and XDG_CONFIG_HOME unset): name the secret key with -s"};
  return std::string(home) + "/.config";
}

// Makes `dir` with mode 0700 unless it exists; an existing one must be a folder.
void make_folder(const std::string &dir) {
  if (mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) {
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
    throw Error{shown_path(dir) + ": not a folder"};
  }
  throw Error{shown_path(dir) + ": " + std::strerror(errno)};
}

}  // namespace

std::string default_secret_key() { return config_home() + "/tavik/tavik.sec"; }

std::string secret_key_to_read(Options &o) {
  if (o.count("-s")) return o.at("-s");
  const std::string home = default_secret_key();
  if (exists(home) || !exists(OLD_SECRET_KEY)) return home;
  o.old_secret_key = true;
  return OLD_SECRET_KEY;
}

std::string secret_key_to_write(const Options &o) {
  if (o.count("-s")) return o.at("-s");
  const std::string config = config_home();
  make_folder(config);
  make_folder(config + "/tavik");
  return config + "/tavik/tavik.sec";
}

size_t read_public_key(const std::string &path, uint8_t *pk, size_t room) {
  const std::string name = shown_path(path);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw Error{name + ": " + std::strerror(errno)};
  char head[64];
  ssize_t n;
  do n = read(fd, head, sizeof head); while (n < 0 && errno == EINTR);
  const int read_errno = errno;
  if (n < 0) {
    close(fd);
    throw Error{name + ": " + std::strerror(read_errno)};
  }
  const std::string start(head, size_t(n));
  const bool pem = start.rfind("-----BEGIN ", 0) == 0, der = n > 0 && uint8_t(head[0]) == 0x30;
  if (!pem && !der) {
    close(fd);
    const Document d = read_document(path, Kind::public_key);
    if (d.data.size() > room)
      throw Error{name + ": a " + PAIR_ALGORITHM + " pair's public key, which this command does not take"};
    std::memcpy(pk, d.data.data(), d.data.size());
    return d.data.size();
  }
  if (pem && start.rfind("-----BEGIN PUBLIC KEY-----", 0) != 0) {
    close(fd);
    throw Error{name + ": not a PEM public key (its first line is not -----BEGIN PUBLIC KEY-----)"};
  }
  // A container: read whole (public bytes, at most a pair's PEM of them).
  constexpr size_t limit = std::max<size_t>(TAVIK_PK_PEM_MAX_BYTES, TAVIK_HYBRID_PK_PEM_MAX_BYTES);
  std::vector<char> text(start.begin(), start.end());
  char buf[4096];
  while (text.size() <= limit && (n = read(fd, buf, sizeof buf)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    text.insert(text.end(), buf, buf + n);
  }
  const int err = errno;
  close(fd);
  if (n < 0) throw Error{name + ": " + std::strerror(err)};
  if (text.size() > limit) throw Error{name + ": too large for a public key"};
  const auto *der_bytes = reinterpret_cast<const uint8_t *>(text.data());
  uint8_t key[TAVIK_HYBRID_PK_BYTES];
  const bool pair =
      pem ? pem_names_pair(text.data(), text.size(), false) : der_names_pair(der_bytes, text.size(), false);
  const size_t len = pair ? TAVIK_HYBRID_PK_BYTES : TAVIK_PK_BYTES;
  if (pair && len > room)
    throw Error{name + ": a " + PAIR_ALGORITHM + " pair's public key, which this command does not take"};
  const int32_t r = pair ? (pem ? tavik_hybrid_pk_from_pem(key, text.data(), text.size())
                                : tavik_hybrid_pk_from_der(key, der_bytes, text.size()))
                         : (pem ? tavik_pk_from_pem(key, text.data(), text.size())
                                : tavik_pk_from_der(key, der_bytes, text.size()));
  if (r != TAVIK_OK)
    throw Error{name + ": not a tavik public key (" + (pem ? "PEM" : "DER") + ": " + tavik_der_error_string(r) + ")"};
  std::memcpy(pk, key, len);
  return len;
}

}  // namespace tavik_cli
