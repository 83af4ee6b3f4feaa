#include "DNSMessage.h"

namespace tether::DNSMessage {

namespace {

constexpr unsigned char kLabelLimit = 64;

unsigned char at(std::string_view data, std::size_t i) {
  return static_cast<unsigned char>(data[i]);
}

bool questionEndFits(std::string_view query, std::size_t questionEnd) {
  // The shortest question is the root name (1 byte) with type and class (4 bytes).
  return questionEnd >= kHeaderSize + 5 && questionEnd <= query.size();
}

// Header of an answer the proxy builds: ID copied, QR = 1, OPCODE = 0, AA = 1, TC = 0, RD
// copied, RA = 1, the given RCODE, QDCOUNT 1, the given ANCOUNT, no other records.
void appendHeader(std::string& out, std::string_view query, unsigned char rcode, char answers) {
  out += query[0];
  out += query[1];
  out += static_cast<char>(0x84 | (at(query, 2) & 0x01));
  out += static_cast<char>(0x80 | rcode);
  const char counts[8] = {0, 1, 0, answers, 0, 0, 0, 0};
  out.append(counts, sizeof counts);
}

}  // namespace

bool parseQuestion(std::string_view message, Question& out) {
  out.name.clear();
  std::size_t offset = kHeaderSize;
  bool firstLabel = true;
  for (;;) {
    if (offset >= message.size()) return false;
    const unsigned char length = at(message, offset);
    if (length == 0) break;
    if (length >= kLabelLimit) return false;
    if (message.size() - offset - 1 < length) return false;
    const std::string_view label = message.substr(offset + 1, length);
    if (!firstLabel) out.name += '.';
    firstLabel = false;
    bool ascii = true;
    for (char c : label) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) out.name += label;
    offset += 1 + length;
  }
  if (message.size() - offset - 1 < 4) return false;
  out.qtype = static_cast<uint16_t>(at(message, offset + 1) << 8 | at(message, offset + 2));
  out.end = offset + 1 + 4;
  return true;
}

bool isReplyTo(std::string_view reply, std::string_view query, std::size_t questionEnd) {
  if (reply.size() < kHeaderSize || !questionEndFits(query, questionEnd) ||
      reply[0] != query[0] || reply[1] != query[1]) {
    return false;
  }
  if (reply[4] == 0 && reply[5] == 0) return true;
  if (reply.size() < questionEnd) return false;
  // Letters of the name compare without regard to case (label lengths are below 64 and so never
  // letters); type and class, the last four bytes, compare exactly: type 97 is not type 65.
  const auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c | 0x20 : c; };
  const std::size_t nameEnd = questionEnd - 4;
  for (std::size_t i = kHeaderSize; i < nameEnd; ++i) {
    if (fold(at(reply, i)) != fold(at(query, i))) return false;
  }
  return reply.substr(nameEnd, 4) == query.substr(nameEnd, 4);
}

std::optional<Question> parseQuestion(std::string_view message) {
  Question q;
  if (!parseQuestion(message, q)) return std::nullopt;
  return q;
}

void sinkhole(std::string_view query, std::size_t questionEnd, uint16_t qtype, std::string& out) {
  if (!questionEndFits(query, questionEnd)) {
    out.assign(query);
    return;
  }
  // Name: a pointer to the question at offset 12; class IN; TTL 60 seconds.
  static constexpr char kA[] = {'\xC0', 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 0, 0, 0, 0};
  static constexpr char kAAAAHead[] = {'\xC0', 0x0C, 0, 28, 0, 1, 0, 0, 0, 60, 0, 16};
  const bool a = qtype == kTypeA;
  const bool aaaa = qtype == kTypeAAAA;
  out.clear();
  out.reserve(questionEnd + sizeof kAAAAHead + 16);
  appendHeader(out, query, 0, (a || aaaa) ? 1 : 0);
  out.append(query.substr(kHeaderSize, questionEnd - kHeaderSize));
  if (a) out.append(kA, sizeof kA);
  if (aaaa) {
    out.append(kAAAAHead, sizeof kAAAAHead);
    out.append(16, '\0');
  }
}

std::string sinkhole(std::string_view query, std::size_t questionEnd, uint16_t qtype) {
  std::string out;
  sinkhole(query, questionEnd, qtype, out);
  return out;
}

void servfail(std::string_view query, std::string& out) {
  out.assign(query);
  if (out.size() >= 4) {
    out[2] = static_cast<char>(0x80 | (at(query, 2) & 0x01));
    out[3] = static_cast<char>(0x82);
  }
}

std::string servfail(std::string_view query) {
  std::string out;
  servfail(query, out);
  return out;
}

void nxdomain(std::string_view query, std::size_t questionEnd, std::string& out) {
  if (!questionEndFits(query, questionEnd)) {
    out.assign(query);
    return;
  }
  out.clear();
  out.reserve(questionEnd);
  appendHeader(out, query, 3, 0);
  out.append(query.substr(kHeaderSize, questionEnd - kHeaderSize));
}

std::string nxdomain(std::string_view query, std::size_t questionEnd) {
  std::string out;
  nxdomain(query, questionEnd, out);
  return out;
}

}  // namespace tether::DNSMessage
