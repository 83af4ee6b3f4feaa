// Fuzz target: the question parser, the answers built from its result, the check of upstream
// replies (type and class compared exactly), and host matching (normalisation, the index against
// the linear rule) on the parsed name and on the raw bytes.
#include <cstdint>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "dns/DNSMessage.h"
#include "dns/SiteIndex.h"
#include "dns/SiteMatch.h"

namespace {

using namespace tether;

const std::vector<SiteRule>& rules() {
  static const std::vector<SiteRule> list{
      {"example.com", true, SiteAction::block()},
      {"kids.example.com", true, SiteAction::allow()},
      {"example.com", false, SiteAction::allow()},
      {"video.com", true, SiteAction::limit(30)},
      {"com", true, SiteAction::limit(0)},
      {".b", true, SiteAction::block()},
      {"a..b", false, SiteAction::allow()},
      {"b", true, SiteAction::allow()},
      {"", true, SiteAction::block()},
      {"Example.com", true, SiteAction::allow()},
      {"\xC3\xA4"
       "bc.de",
       true, SiteAction::block()},
      {"i\xCC\x87.tr", true, SiteAction::block()},
      {"example.com", true, SiteAction::limit(5)},
  };
  return list;
}

void checkMatching(std::string_view host) {
  static const SiteIndex index(rules());
  FUZZ_CHECK(index.winning(host) == SiteMatch::winning(host, rules()));
}

void checkBuilt(std::string_view query, std::string_view answer, std::size_t end,
                std::size_t records) {
  FUZZ_CHECK(answer.size() == end + records);
  FUZZ_CHECK(answer.substr(0, 2) == query.substr(0, 2));
  FUZZ_CHECK((answer[2] & 0x01) == (query[2] & 0x01));
  FUZZ_CHECK(answer.substr(12, end - 12) == query.substr(12, end - 12));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  DNSMessage::Question q;
  if (DNSMessage::parseQuestion(input, q)) {
    FUZZ_CHECK(q.end >= 17 && q.end <= size);
    FUZZ_CHECK(q.name.size() < size);
    for (uint16_t type : {q.qtype, DNSMessage::kTypeA, DNSMessage::kTypeAAAA, uint16_t{15}}) {
      const std::string answer = DNSMessage::sinkhole(input, q.end, type);
      checkBuilt(input, answer, q.end, type == 1 ? 16 : type == 28 ? 28 : 0);
      // The answer carries the same question.
      const auto again = DNSMessage::parseQuestion(answer);
      FUZZ_CHECK(again && again->name == q.name && again->end == q.end && again->qtype == q.qtype);
    }
    const std::string nx = DNSMessage::nxdomain(input, q.end);
    checkBuilt(input, nx, q.end, 0);
    FUZZ_CHECK((nx[3] & 0x0F) == 3);
    checkMatching(q.name);
    // The sinkhole answer is a reply to the query; the input read as a reply to it, or to any
    // query cut from it, is judged without reading past either.
    FUZZ_CHECK(DNSMessage::isReplyTo(DNSMessage::sinkhole(input, q.end, 1), input, q.end));
    // ...but not once its type or class differs, even only in what would be a letter's case.
    for (std::size_t at = q.end - 4; at < q.end; ++at) {
      std::string other = DNSMessage::sinkhole(input, q.end, 1);
      other[at] = static_cast<char>(other[at] ^ 0x20);
      FUZZ_CHECK(!DNSMessage::isReplyTo(other, input, q.end));
    }
    for (std::size_t cut : {std::size_t{0}, std::size_t{12}, q.end - 1, q.end}) {
      (void)DNSMessage::isReplyTo(input, input.substr(0, cut), q.end);
      (void)DNSMessage::isReplyTo(input.substr(0, cut), input, q.end);
    }
  } else {
    FUZZ_CHECK(!DNSMessage::parseQuestion(input));
  }

  const std::string failure = DNSMessage::servfail(input);
  FUZZ_CHECK(failure.size() == size);
  if (size >= 4) FUZZ_CHECK(failure.substr(4) == input.substr(4) && failure[3] == '\x82');

  // The builders given any question end stay within the query.
  if (size >= 2) {
    const std::size_t end = (data[0] | data[1] << 8) % (size + 8);
    (void)DNSMessage::sinkhole(input, end, DNSMessage::kTypeAAAA);
    (void)DNSMessage::nxdomain(input, end);
  }

  // Raw bytes as a host: UTF-8 decoding and lower-casing, and the index against the oracle.
  const std::string normalized = SiteMatch::normalize(input);
  FUZZ_CHECK(normalized.empty() || (normalized.front() != '.'));
  checkMatching(input);
  return 0;
}
