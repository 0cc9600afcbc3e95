// ExchangeLoweringError: texts of every variant, the debug forms, and the
// conversion from exchange-layer errors that TRY relies on.
#include <gtest/gtest.h>

#include <string>

#include "kel_codegen/exchange/ExchangeLoweringError.h"
#include "kel_runtime/Try.h"

namespace kel_codegen::exchange {
namespace {

using kel_exchange::ExchangeError;
using Kind = ExchangeLoweringError::Kind;

struct TextCase {
  ExchangeLoweringError error;
  Kind kind;
  std::string message;
  std::string debug;
};

TEST(ExchangeLoweringError, EveryVariantHasItsTexts) {
  const TextCase cases[] = {
      {ExchangeError::tile(3), Kind::Exchange, "logical tile 3 is out of range", "Exchange(Tile(3))"},
      {ExchangeLoweringError::exchange(ExchangeError::schedule("sender delay")), Kind::Exchange,
       "exchange schedule is not encodable: sender delay", "Exchange(Schedule(\"sender delay\"))"},
      {ExchangeLoweringError::storage(StorageError("no room in bank 2")), Kind::Storage, "no room in bank 2",
       "Storage(StorageError(\"no room in bank 2\"))"},
      {ExchangeLoweringError::unplaced_shard(), Kind::UnplacedShard, "exchange refers to an unplaced shard",
       "UnplacedShard"},
      {ExchangeLoweringError::invalid_destination(), Kind::InvalidDestination, "exchange destination is not writable",
       "InvalidDestination"},
      {ExchangeLoweringError::unaligned_payload(), Kind::UnalignedPayload,
       "exchange payload is not a nonempty whole number of words", "UnalignedPayload"},
      {ExchangeLoweringError::size_mismatch(), Kind::SizeMismatch, "exchange source and destination byte counts differ",
       "SizeMismatch"},
      {ExchangeLoweringError::overflow(), Kind::Overflow, "exchange address arithmetic overflowed", "Overflow"},
      {ExchangeLoweringError::incompatible_repeat_rows(), Kind::IncompatibleRepeatRows,
       "structured-repeat exchange rows have incompatible shapes", "IncompatibleRepeatRows"},
      {ExchangeLoweringError::diagnostic_tile(5), Kind::DiagnosticTile, "exchange diagnostic refers to missing tile 5",
       "DiagnosticTile(5)"},
      {ExchangeLoweringError::invalid_snapshot("duplicate phase 4"), Kind::InvalidSnapshot,
       "invalid exchange-schedule snapshot: duplicate phase 4", "InvalidSnapshot(\"duplicate phase 4\")"},
      {ExchangeLoweringError::invariant("phase 2 lost \"a\"\n"), Kind::Invariant,
       "exchange-schedule invariant failed: phase 2 lost \"a\"\n", "Invariant(\"phase 2 lost \\\"a\\\"\\n\")"},
  };
  for (const TextCase& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind) << c.debug;
    EXPECT_EQ(c.error.message(), c.message);
    EXPECT_EQ(c.error.debug(), c.debug);
  }
}

TEST(ExchangeLoweringError, ComparesKindAndPayload) {
  EXPECT_EQ(ExchangeLoweringError::diagnostic_tile(5), ExchangeLoweringError::diagnostic_tile(5));
  EXPECT_NE(ExchangeLoweringError::diagnostic_tile(5), ExchangeLoweringError::diagnostic_tile(6));
  EXPECT_NE(ExchangeLoweringError::invalid_snapshot("x"), ExchangeLoweringError::invariant("x"));
  EXPECT_EQ(ExchangeLoweringError(ExchangeError::tile(1)), ExchangeLoweringError::exchange(ExchangeError::tile(1)));
  EXPECT_NE(ExchangeLoweringError(ExchangeError::tile(1)), ExchangeLoweringError(ExchangeError::address(1)));
  EXPECT_EQ(*ExchangeLoweringError(ExchangeError::count(9)).exchange_error(), ExchangeError::count(9));
  EXPECT_EQ(ExchangeLoweringError::overflow().exchange_error(), std::nullopt);
  EXPECT_EQ(ExchangeLoweringError::storage(StorageError("s")).storage_error(), StorageError("s"));
  EXPECT_EQ(ExchangeLoweringError::invariant("s").storage_error(), std::nullopt);
  EXPECT_NE(ExchangeLoweringError::storage(StorageError("s")), ExchangeLoweringError::invariant("s"));
  EXPECT_EQ(ExchangeLoweringError::storage(StorageError("s")).text(), "");
  EXPECT_EQ(ExchangeLoweringError::invariant("t").text(), "t");
  EXPECT_EQ(ExchangeLoweringError::diagnostic_tile(7).tile(), 7);
}

std::expected<int, ExchangeError> exchange_layer(bool ok) {
  if (ok) return 4;
  return std::unexpected(ExchangeError::duplicate_tile());
}

std::expected<int, ExchangeLoweringError> lowering(bool ok) {
  const int value = TRY(exchange_layer(ok));
  return value + 1;
}

std::expected<void, ExchangeLoweringError> lowering_void(bool ok) {
  TRY(exchange_layer(ok));
  return {};
}

TEST(ExchangeLoweringError, TryWrapsExchangeErrors) {
  EXPECT_EQ(lowering(true), 5);
  ASSERT_FALSE(lowering(false));
  EXPECT_EQ(lowering(false).error(), ExchangeLoweringError(ExchangeError::duplicate_tile()));
  EXPECT_EQ(lowering_void(false).error().message(), "exchange endpoints must be distinct");
}

}  // namespace
}  // namespace kel_codegen::exchange
