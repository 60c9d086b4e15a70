#pragma once
// Long messages: a UTF-8 text split into the fewest concatenated parts, and the reassembly of
// received parts (and of multi-page cell broadcasts) in any order, with bounded memory.
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "halyard/gsm/CellBroadcast.h"
#include "halyard/gsm/SMS.h"
#include "halyard/gsm/SMSText.h"

namespace Halyard::GSM {

struct TSplitOptions {
  int Reference = -1;   // the concatenation reference; -1: the next one for the destination
  bool Wide = false;    // a 16-bit reference (then 152 septets or 66 characters a part)
  bool StatusReport = false;
  TDateTime Validity = 0;  // a relative validity (a span in days); 0: none
};

// SMS-SUBMITs for a text to DA: one when it fits in 160 septets or 70 UCS2 characters, else
// parts of 153 septets or 67 characters (with an 8-bit reference) numbered from 1. An escape
// pair or a surrogate pair is never split between parts. Raises EConvertError for an invalid
// number and ESMSDecodeError for a text that needs more than 255 parts.
std::vector<std::unique_ptr<TSMSSubmit>> SplitText(const std::string& Utf8, const std::string& DA,
                                                   const TSplitOptions& Options = {});
// How many parts SplitText makes of a text.
int CountParts(const std::string& Utf8, bool Wide = false);
// The next reference the package gives messages to a destination (per process, wrapping).
int NextReference(const std::string& DA, bool Wide);

// A message put together from its parts.
struct TAssembled {
  std::string From;
  std::string Text;           // UTF-8; a missing part shows as U+FFFD
  int Reference = -1;         // -1 for a message that came whole
  int Parts = 1, Received = 1;
  bool Complete = true;
  TDateTime FirstTime = 0;    // the service-centre stamp of the first part received
};

// Takes received parts in any order, drops duplicates, and gives a message once it is whole.
// A message whose parts stop coming is given up after KeepFor, incomplete; beyond MaxMessages
// partial messages or MaxBytes of kept text the oldest are given up first, so a sender of
// endless parts with random references cannot grow it without bound. Thread-safe.
class TReassembler {
 public:
  using Clock = std::chrono::steady_clock;
  struct TOptions {
    Clock::duration KeepFor = std::chrono::hours(24);
    size_t MaxMessages = 256;
    size_t MaxBytes = 1024 * 1024;
  };
  TReassembler() : TReassembler(TOptions{}) {}
  explicit TReassembler(TOptions Options) : Opt_(Options) {}

  // A whole message when this part completes one (or is a message of one part). A part whose
  // header is malformed raises ESMSDecodeError.
  std::optional<TAssembled> Add(const TSMSDeliver& Part, Clock::time_point Now = Clock::now());
  // Partial messages given up: timed out at Now, or pushed out by the bounds since the last call.
  std::vector<TAssembled> TakeExpired(Clock::time_point Now = Clock::now());
  size_t Pending() const;

 private:
  struct TKey {
    std::string From;
    int Reference, Parts;
    bool operator<(const TKey& o) const {
      return std::tie(From, Reference, Parts) < std::tie(o.From, o.Reference, o.Parts);
    }
  };
  struct TPartial {
    std::map<int, std::string> Texts;  // part number -> UTF-8
    Clock::time_point Started;
    TDateTime FirstTime = 0;
    size_t Bytes = 0;
  };
  TAssembled Assemble(const TKey& K, const TPartial& P, bool Complete) const;
  void Enforce();  // under M_

  TOptions Opt_;
  mutable std::mutex M_;
  std::map<TKey, TPartial> Partial_;
  size_t Bytes_ = 0;
  std::vector<TAssembled> Dropped_;
};

// The text of a cell broadcast page in UTF-8 (any DCS of TS 23.038 §5, language prefix and
// padding removed).
std::string CellBroadcastText(const TCellBroadcast& Page);

// Pages of a cell broadcast message (serial number + message identifier, page n of m) put
// together; the same bounds as TReassembler.
class TBroadcastAssembler {
 public:
  using Clock = std::chrono::steady_clock;
  explicit TBroadcastAssembler(TReassembler::TOptions Options = {}) : Opt_(Options) {}
  struct TMessage {
    uint16_t MessageIdentifier = 0, SerialNumber = 0;
    int Pages = 1;
    std::string Text;
  };
  std::optional<TMessage> Add(const TCellBroadcast& Page, Clock::time_point Now = Clock::now());
  size_t Pending() const;

 private:
  struct TPartial {
    std::map<int, std::string> Texts;
    Clock::time_point Started;
    size_t Bytes = 0;
  };
  TReassembler::TOptions Opt_;
  mutable std::mutex M_;
  std::map<std::tuple<uint16_t, uint16_t, int>, TPartial> Partial_;
  size_t Bytes_ = 0;  // of every partial message's pages
};

}  // namespace Halyard::GSM
