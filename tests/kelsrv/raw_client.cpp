#include "raw_client.h"

#include <algorithm>

namespace kelsrv_test {
namespace {

void AppendWord(Bytes *out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out->push_back(static_cast<std::uint8_t>(value >> shift));
}

std::uint32_t Word(const Bytes &bytes, std::size_t at) {
  return (std::uint32_t{bytes[at]} << 24) | (std::uint32_t{bytes[at + 1]} << 16) |
         (std::uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
}

// The data length a frame announces, 0 if it has none.
std::uint32_t AnnouncedDataLen(const Bytes &frame) {
  if (frame.size() < 5 || !(frame[4] & KEL_FLAG_DATALEN) || frame.size() < 9)
    return 0;
  return Word(frame, frame.size() - 4);
}

} // namespace

Bytes Scramble(const std::string &text, std::mt19937 *rng) {
  Bytes field(8, 0);
  std::copy_n(text.begin(), std::min<std::size_t>(text.size(), 8), field.begin());
  Bytes out;
  std::uint8_t previous = 0;
  for (std::uint8_t in : field) {
    auto r = static_cast<std::uint8_t>((*rng)());
    out.push_back(static_cast<std::uint8_t>(previous ^ r));
    out.push_back(static_cast<std::uint8_t>(r ^ in));
    previous = in;
  }
  return out;
}

Bytes LogonBlock(const std::string &user, const std::string &password, const std::string &password2,
                 std::mt19937 *rng) {
  Bytes block(41, 0);
  std::copy_n(user.begin(), std::min<std::size_t>(user.size(), 9), block.begin());
  Bytes first = Scramble(password, rng);
  std::copy(first.begin(), first.end(), block.begin() + 9);
  if (!password2.empty()) {
    Bytes second = Scramble(password2, rng);
    std::copy(second.begin(), second.end(), block.begin() + 25);
  }
  return block;
}

Bytes ClientIdentBlock() {
  Bytes block(88, 0);
  const std::string name = "Hox/Pym Connector API";
  const std::uint8_t head[8] = {0x43, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01};
  std::copy(head, head + 8, block.begin());
  std::copy(name.begin(), name.end(), block.begin() + 8);
  return block;
}

Bytes ReplyBytes(std::uint32_t code, std::uint32_t retCode, std::uint32_t dataLen, std::uint32_t parm1,
                 std::uint32_t parm3, std::uint8_t extraFlags) {
  Bytes out;
  AppendWord(&out, code);
  out.push_back(static_cast<std::uint8_t>(extraFlags | (parm1 ? 0x01 : 0) | (retCode ? 0x02 : 0) |
                                          (parm3 ? 0x04 : 0) | (dataLen ? 0x08 : 0)));
  for (std::uint32_t word : {parm1, retCode, parm3, dataLen})
    if (word)
      AppendWord(&out, word);
  return out;
}

Bytes Request(std::uint32_t code, const Bytes &data) {
  Bytes out = ReplyBytes(code, 0, static_cast<std::uint32_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// A server that answers wrongly may leave a read waiting for bytes that
// never come; the time-out turns that into a failed test, not a hung one.
RawClient::RawClient(std::uint16_t port) : socket_(netio::Connect("127.0.0.1", port)), rng_(port) {
  if (socket_ != netio::kInvalidSocket)
    netio::SetReceiveTimeout(socket_, 10000);
}

RawClient::~RawClient() { netio::Close(socket_); }

bool RawClient::Send(const Bytes &bytes) { return netio::SendAll(socket_, bytes.data(), bytes.size()); }

Bytes RawClient::Read(std::size_t n) {
  Bytes got(n, 0);
  std::size_t arrived = 0;
  netio::ReceiveExact(socket_, got.data(), n, &arrived);
  got.resize(arrived);
  return got;
}

Bytes RawClient::ReadFrameBytes() {
  Bytes frame = Read(5);
  if (frame.size() < 5)
    return frame;
  Bytes words = Read(kelsrv::FrameLength(frame[4]) - 5);
  frame.insert(frame.end(), words.begin(), words.end());
  return frame;
}

bool RawClient::AtEnd() {
  std::uint8_t byte;
  // A time-out (-1) is not an end: the server kept the connection open.
  return netio::ReceiveSome(socket_, &byte, 1) == 0;
}

Bytes RawClient::Exchange(const Bytes &request, Bytes *data) {
  if (!Send(request))
    return {};
  Bytes frame = ReadFrameBytes();
  Bytes body = Read(AnnouncedDataLen(frame));
  if (data)
    *data = body;
  return frame;
}

Bytes RawClient::Identify(Bytes *data) { return Exchange(Request(KEL_CMD_IDENTIFY, ClientIdentBlock()), data); }

Bytes RawClient::Logon(const std::string &user, const std::string &password, const std::string &password2,
                       Bytes *data) {
  return Exchange(Request(KEL_CMD_LOGON, LogonBlock(user, password, password2, &rng_)), data);
}

} // namespace kelsrv_test
