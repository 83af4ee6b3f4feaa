#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tether {

// The few pieces of the DNS wire format (RFC 1035) that the proxy reads and writes: the first
// question of a query, and the answers the proxy builds itself. Messages are byte strings; every
// read is checked against the length first.
namespace DNSMessage {

inline constexpr std::size_t kHeaderSize = 12;
inline constexpr uint16_t kTypeA = 1;
inline constexpr uint16_t kTypeAAAA = 28;
inline constexpr uint32_t kSinkholeTTL = 60;

// The first question: its name (labels joined by "."; the root gives the empty text), the
// offset just past its class field, and its type.
struct Question {
  std::string name;
  std::size_t end = 0;
  uint16_t qtype = 0;

  bool operator==(const Question&) const = default;
};

// The question that starts at offset 12, or nothing when the data ends early, a label length is
// 64 or more (compression pointers included: names in queries are never decompressed), or type
// and class are cut off. The header is not examined. A label holding a byte above 127 is not
// ASCII text and reads as the empty label.
std::optional<Question> parseQuestion(std::string_view message);
// The same into a question whose buffer the caller reuses; false when there is none.
bool parseQuestion(std::string_view message, Question& out);

// Whether `reply` can be the answer to `query`, whose first question ends at questionEnd: the
// same ID, and either no question at all (some error replies carry none) or a first question
// equal to the query's: letters of the name compared without regard to case, type and class
// exactly.
bool isReplyTo(std::string_view reply, std::string_view query, std::size_t questionEnd);

// The local answer for a blocked name: ID and RD copied, QR, AA and RA set, QDCOUNT 1, the
// first question copied up to questionEnd, and for type A one record 0.0.0.0, for type AAAA one
// record ::, both with TTL 60; no answer record for other types. Nothing after the first question
// is copied. Given a question end that does not lie in the query (it always does for the end
// from parseQuestion), the query is returned unchanged.
std::string sinkhole(std::string_view query, std::size_t questionEnd, uint16_t qtype);

// The whole query with QR and RA set, RD kept, everything else in bytes 2 and 3 cleared and
// RCODE 2 (server failure); counts and sections unchanged.
std::string servfail(std::string_view query);

// "No such name": ID and RD copied, QR, AA and RA set, RCODE 3, QDCOUNT 1, the first question
// copied, no records. The same guard on questionEnd as sinkhole().
std::string nxdomain(std::string_view query, std::size_t questionEnd);

// The same three answers written over `out`, whose buffer the caller reuses from one answer to
// the next. `query` must not lie inside `out`.
void sinkhole(std::string_view query, std::size_t questionEnd, uint16_t qtype, std::string& out);
void servfail(std::string_view query, std::string& out);
void nxdomain(std::string_view query, std::size_t questionEnd, std::string& out);

}  // namespace DNSMessage
}  // namespace tether
