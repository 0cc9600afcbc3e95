// ExchangeError: the display text and debug form of every variant.
#include <gtest/gtest.h>

#include <string>

#include "kel_exchange/ExchangeError.h"

namespace kel_exchange {
namespace {

struct TextCase {
  ExchangeError error;
  std::string message;
  std::string debug;
};

TEST(ExchangeErrorTest, DisplayAndDebugTextsOfEveryVariant) {
  const TextCase cases[] = {
      {ExchangeError::validation_budget_exceeded(), "exchange incremental-encoding work budget exhausted",
       "ValidationBudgetExceeded"},
      {ExchangeError::tile(7), "logical tile 7 is out of range", "Tile(7)"},
      {ExchangeError::tile(65535), "logical tile 65535 is out of range", "Tile(65535)"},
      {ExchangeError::duplicate_tile(), "exchange endpoints must be distinct", "DuplicateTile"},
      {ExchangeError::count(0), "exchange count 0 is outside 1..=4148", "Count(0)"},
      {ExchangeError::count(4149), "exchange count 4149 is outside 1..=4148", "Count(4149)"},
      {ExchangeError::receiver_set(), "invalid multicast receiver set", "ReceiverSet"},
      {ExchangeError::schedule("sender delay"), "exchange schedule is not encodable: sender delay",
       "Schedule(\"sender delay\")"},
      {ExchangeError::plan_offset_range(70000, 65535),
       "exchange event offset 70000 cycles from the phase-entry sync exceeds the encodable maximum of 65535 cycles",
       "PlanOffsetRange { cycles: 70000, maximum: 65535 }"},
      {ExchangeError::address(31), "tile address 0x1f is not encodable", "Address(31)"},
      {ExchangeError::address(0), "tile address 0x0 is not encodable", "Address(0)"},
      {ExchangeError::address(0xABCDEF12), "tile address 0xabcdef12 is not encodable", "Address(2882400018)"},
      {ExchangeError::host_packet(), "host exchange address or length is not encodable", "HostPacket"},
  };
  for (const TextCase& c : cases) {
    EXPECT_EQ(c.error.message(), c.message);
    EXPECT_EQ(c.error.debug(), c.debug);
  }
}

TEST(ExchangeErrorTest, PayloadsAndEquality) {
  const ExchangeError range = ExchangeError::plan_offset_range(9, 4);
  EXPECT_EQ(range.kind(), ExchangeError::Kind::PlanOffsetRange);
  EXPECT_EQ(range.value(), 9u);
  EXPECT_EQ(range.maximum(), 4u);
  EXPECT_EQ(ExchangeError::schedule("send control").reason(), "send control");
  EXPECT_TRUE(ExchangeError::tile(3).reason().empty());

  // Reasons compare by text, not by where the text is stored.
  const std::string copy = "send control";
  EXPECT_EQ(ExchangeError::schedule("send control"), ExchangeError::schedule(copy.c_str()));
  EXPECT_NE(ExchangeError::schedule("send control"), ExchangeError::schedule("sender payload"));
  EXPECT_NE(ExchangeError::tile(3), ExchangeError::count(3));
  EXPECT_NE(ExchangeError::tile(3), ExchangeError::tile(4));
  EXPECT_NE(ExchangeError::plan_offset_range(1, 2), ExchangeError::plan_offset_range(1, 3));
}

}  // namespace
}  // namespace kel_exchange
