// A client of kelsrv over a plain socket, without the client library:
// the tests build every request byte by byte.
#ifndef KELSRV_TEST_RAW_CLIENT_H
#define KELSRV_TEST_RAW_CLIENT_H

#include <cstdint>
#include <random>
#include <string>

#include "netio.h"
#include "wire.h"

namespace kelsrv_test {

using kelsrv::Bytes;

// Scrambles the 8-byte password field of text as a client does, drawing
// the random bytes from rng: out[2i] = previous ^ r, out[2i+1] = r ^ in[i].
Bytes Scramble(const std::string &text, std::mt19937 *rng);

// The 41-byte logon block; an empty password2 leaves bytes 25..40 zero.
Bytes LogonBlock(const std::string &user, const std::string &password, const std::string &password2,
                 std::mt19937 *rng);

// The 88-byte block a client sends with its identify request.
Bytes ClientIdentBlock();

// The request frame for code with dataLen, followed by data.
Bytes Request(std::uint32_t code, const Bytes &data = {});

class RawClient {
public:
  explicit RawClient(std::uint16_t port);
  ~RawClient();
  RawClient(const RawClient &) = delete;
  RawClient &operator=(const RawClient &) = delete;

  bool Connected() const { return socket_ != netio::kInvalidSocket; }
  bool Send(const Bytes &bytes);
  // Exactly n bytes, or what arrived before the connection ended.
  Bytes Read(std::size_t n);
  // One frame's bytes (sized by its flag byte); fewer if the connection ended.
  Bytes ReadFrameBytes();
  // True if the server has closed the connection in order (the next read
  // gets end of stream); false if data came or the read timed out.
  bool AtEnd();

  // Identify and logon exchanges; each returns the reply frame's bytes and
  // leaves the reply data in *data (read as announced).
  Bytes Identify(Bytes *data = nullptr);
  Bytes Logon(const std::string &user, const std::string &password, const std::string &password2 = "",
              Bytes *data = nullptr);
  // Sends a request and reads the reply frame and its data.
  Bytes Exchange(const Bytes &request, Bytes *data = nullptr);

private:
  netio::Socket socket_;
  std::mt19937 rng_;
};

// The bytes of a reply frame with the given fields, built independently of
// the server's encoder: code, flag byte, the non-zero words.
Bytes ReplyBytes(std::uint32_t code, std::uint32_t retCode = 0, std::uint32_t dataLen = 0, std::uint32_t parm1 = 0,
                 std::uint32_t parm3 = 0, std::uint8_t extraFlags = 0);

} // namespace kelsrv_test

#endif
