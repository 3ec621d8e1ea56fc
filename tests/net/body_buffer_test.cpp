// Response buffers on their own: growth within a shared budget, the size limit, and storage
// given back.
#include "net/body_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace shopwalk::net {
namespace {

constexpr std::size_t NoLimit = static_cast<std::size_t>(-1);

// Appends `bytes` in pieces of 16 KiB, as transfers deliver them; returns how many were kept.
std::size_t AppendInPieces(BodyBuffer& buffer, const std::string& bytes,
                           std::size_t sizeLimit = NoLimit) {
  constexpr std::size_t Piece = 16u << 10;
  std::size_t kept = 0;
  for (std::size_t at = 0; at < bytes.size(); at += Piece) {
    const std::string_view piece = std::string_view(bytes).substr(at, Piece);
    const std::size_t appended = buffer.Append(piece, sizeLimit);
    kept += appended;
    if (appended < piece.size()) break;
  }
  return kept;
}

std::string Bytes(std::size_t count) {
  std::string bytes(count, '\0');
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>('a' + i % 26);
  return bytes;
}

TEST(BodyBufferTest, KeepsWhatItIsGivenAndCountsItsCapacityInTheBudget) {
  BodyBudget budget(64u << 20);
  const std::string page = Bytes(3'000'000);
  {
    BodyBuffer buffer(budget);
    EXPECT_EQ(AppendInPieces(buffer, page), page.size());
    EXPECT_EQ(buffer.View(), page);
    EXPECT_GE(buffer.Capacity(), page.size());
    EXPECT_EQ(budget.InUse(), buffer.Capacity());
    // Growth comes in steps, not byte by byte, nor by more than a step at once.
    EXPECT_LE(buffer.Capacity(), page.size() + BodyBuffer::GrowthStepMax);
  }
  EXPECT_EQ(budget.InUse(), 0u);
}

TEST(BodyBufferTest, NeverGrowsPastItsSizeLimit) {
  BodyBudget budget(64u << 20);
  BodyBuffer buffer(budget);
  EXPECT_EQ(buffer.Append("head;", NoLimit), 5u);
  // The limit counts what the buffer held before.
  EXPECT_EQ(AppendInPieces(buffer, Bytes(100'000), 70'005), 70'000u);
  EXPECT_EQ(buffer.Size(), 70'005u);
  EXPECT_LE(buffer.Capacity(), 70'005u);
  EXPECT_EQ(buffer.Append("more", 70'005), 0u);
  // A limit below what it holds already keeps what it holds.
  EXPECT_EQ(buffer.Append("more", 10), 0u);
  EXPECT_EQ(buffer.Size(), 70'005u);
}

TEST(BodyBufferTest, BuffersSharingABudgetNeverHoldMoreThanItTogether) {
  constexpr std::size_t Limit = 5u << 20;
  BodyBudget budget(Limit);
  BodyBuffer first(budget);
  BodyBuffer second(budget);
  const std::string page = Bytes(4u << 20);
  EXPECT_EQ(AppendInPieces(first, page), page.size());
  // The second gets what is left, exactly when no whole growth step is left.
  const std::size_t kept = AppendInPieces(second, page);
  EXPECT_LT(kept, page.size());
  EXPECT_GT(kept, 0u);
  EXPECT_LE(budget.InUse(), Limit);
  EXPECT_EQ(budget.InUse(), first.Capacity() + second.Capacity());
  EXPECT_EQ(second.View(), std::string_view(page).substr(0, kept));

  // Once the first lets go, the second grows on.
  first.Clear();
  EXPECT_EQ(AppendInPieces(second, page.substr(kept)), page.size() - kept);
  EXPECT_EQ(second.View(), page);
}

TEST(BodyBufferTest, ManyThreadsNeverPassTheBudget) {
  constexpr std::size_t Limit = 8u << 20;
  BodyBudget budget(Limit);
  const std::string page = Bytes(3u << 20);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      BodyBuffer buffer(budget);
      for (int round = 0; round < 5; ++round) {
        AppendInPieces(buffer, page);
        if (budget.InUse() > Limit) ADD_FAILURE() << "budget passed";
        buffer.Clear();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(budget.InUse(), 0u);
}

TEST(BodyBufferTest, LargeStorageGoesBackWhenEmptiedSmallStays) {
  BodyBudget budget(64u << 20);
  BodyBuffer buffer(budget);
  AppendInPieces(buffer, Bytes(200'000));
  const std::size_t small = buffer.Capacity();
  buffer.Clear();
  EXPECT_EQ(buffer.Size(), 0u);
  EXPECT_EQ(buffer.Capacity(), small);
  EXPECT_EQ(budget.InUse(), small);

  AppendInPieces(buffer, Bytes(6u << 20));
  buffer.Clear();
  EXPECT_EQ(buffer.Capacity(), 0u);
  EXPECT_EQ(budget.InUse(), 0u);
  EXPECT_TRUE(buffer.View().empty());
}

TEST(BodyBufferTest, CuttingBackALargeBufferGivesBackWhatItNoLongerNeeds) {
  BodyBudget budget(64u << 20);
  BodyBuffer buffer(budget);
  const std::string page = Bytes(6u << 20);
  AppendInPieces(buffer, page);
  buffer.Truncate(5u << 20);  // more than half stays: no move
  EXPECT_GE(buffer.Capacity(), 6u << 20);
  buffer.Truncate(1000);
  EXPECT_EQ(buffer.Capacity(), 1000u);
  EXPECT_EQ(budget.InUse(), 1000u);
  EXPECT_EQ(buffer.View(), std::string_view(page).substr(0, 1000));
  buffer.Truncate(5000);  // nothing to drop
  EXPECT_EQ(buffer.Size(), 1000u);
}

TEST(BodyBufferTest, AReservedBodyGetsItsStorageInOnePieceWhenTheBudgetGrantsIt) {
  BodyBudget budget(8u << 20);
  BodyBuffer buffer(budget);
  const std::string page = Bytes(3'000'000);
  ASSERT_TRUE(buffer.Reserve(page.size(), NoLimit));
  EXPECT_EQ(buffer.Capacity(), page.size());
  EXPECT_EQ(budget.InUse(), page.size());
  EXPECT_EQ(AppendInPieces(buffer, page), page.size());
  EXPECT_EQ(buffer.Capacity(), page.size()) << "grew although the whole body had room";
  EXPECT_EQ(buffer.View(), page);

  // Never past the size limit, never below what it holds.
  buffer.Clear();
  ASSERT_TRUE(buffer.Reserve(5'000'000, 100'000));
  EXPECT_EQ(buffer.Capacity(), 100'000u);
  EXPECT_EQ(budget.InUse(), 100'000u);

  // More than the budget has left: nothing changes, and the body still grows step by step
  // within what is left.
  BodyBuffer other(budget);
  EXPECT_FALSE(other.Reserve(9u << 20, NoLimit));
  EXPECT_EQ(other.Capacity(), 0u);
  EXPECT_EQ(budget.InUse(), 100'000u);
  EXPECT_EQ(AppendInPieces(other, page), page.size());
  EXPECT_EQ(budget.InUse(), 100'000u + other.Capacity());
}

TEST(BodyBufferTest, ATakenBodyKeepsItsBytesAndItsShareOfTheBudgetUntilItGoes) {
  BodyBudget budget(64u << 20);
  BodyBuffer buffer(budget);
  const std::string page = Bytes(2'000'000);
  AppendInPieces(buffer, page);
  const char* storage = buffer.View().data();
  const std::size_t capacity = buffer.Capacity();

  ResponseBody body = buffer.Take(1'500'000);
  EXPECT_EQ(body.View(), std::string_view(page).substr(0, 1'500'000));
  EXPECT_EQ(body.View().data(), storage) << "the bytes were copied";
  EXPECT_EQ(body.Capacity(), capacity);
  // The buffer is empty, without storage of its own, and fills again from nothing.
  EXPECT_EQ(buffer.Size(), 0u);
  EXPECT_EQ(buffer.Capacity(), 0u);
  EXPECT_EQ(budget.InUse(), capacity);
  EXPECT_EQ(buffer.Append("next", NoLimit), 4u);
  EXPECT_EQ(buffer.View(), "next");

  // Moving the body moves its share; destroying or replacing it gives the share back.
  ResponseBody moved = std::move(body);
  EXPECT_TRUE(body.Empty());  // NOLINT(bugprone-use-after-move): a moved-from body is empty
  EXPECT_EQ(moved.Size(), 1'500'000u);
  EXPECT_EQ(budget.InUse(), capacity + buffer.Capacity());
  moved = buffer.Take(static_cast<std::size_t>(-1));
  EXPECT_EQ(moved.View(), "next");
  EXPECT_EQ(budget.InUse(), moved.Capacity());
  moved = ResponseBody();
  EXPECT_EQ(budget.InUse(), 0u);
}

}  // namespace
}  // namespace shopwalk::net
