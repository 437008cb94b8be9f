// The account of what calls hold: a call past its own limit is refused at
// once, one the process cannot fit waits a bounded time for room, and a
// refusal leaves nothing reserved.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "platform/com/hresult.h"
#include "platform/com/memory_budget.h"

namespace quor::com {
namespace {

using std::chrono::steady_clock;
constexpr uint64_t kMiB = uint64_t{1} << 20;

class MemoryBudgetTest : public ::testing::Test {
 protected:
  void SetUp() override { MemoryBudget::Process().Configure(4 * kMiB, 6 * kMiB); }
  void TearDown() override { MemoryBudget::Process().Configure(0, 0); }
};

TEST_F(MemoryBudgetTest, ACallPastItsOwnLimitIsRefusedAtOnce) {
  auto call = std::make_shared<CallMemory>();
  MemoryHold content(call, MemoryUse::Content);
  ASSERT_TRUE(content.GrowTo(3 * kMiB).ok());
  const auto start = steady_clock::now();
  const Status refused = content.GrowTo(5 * kMiB);
  EXPECT_LT(steady_clock::now() - start, MemoryBudget::kWait / 2);
  EXPECT_EQ(refused.code(), E_OUTOFMEMORY);
  EXPECT_NE(refused.message().find("AnswerMemoryMB"), std::string::npos) << refused.message();
  EXPECT_EQ(call->Refusal(), refused.message());
  // The refused part was never taken; what was held is given back with its holder.
  EXPECT_EQ(content.Held(), 3 * kMiB);
  EXPECT_EQ(MemoryBudget::Process().InUse(), 3 * kMiB);
  content = MemoryHold();
  EXPECT_EQ(MemoryBudget::Process().InUse(), 0u);
}

TEST_F(MemoryBudgetTest, ACallTheProcessCannotFitWaitsForRoomThenIsRefused) {
  auto first = std::make_shared<CallMemory>();
  auto second = std::make_shared<CallMemory>();
  ASSERT_TRUE(first->Reserve(4 * kMiB, MemoryUse::Answer).ok());

  // Room given back within the wait lets the waiting call through.
  std::thread releaser([&] {
    std::this_thread::sleep_for(MemoryBudget::kWait / 4);
    first->Release(2 * kMiB);
  });
  const auto start = steady_clock::now();
  EXPECT_TRUE(second->Reserve(4 * kMiB, MemoryUse::Pieces).ok());
  EXPECT_GE(steady_clock::now() - start, MemoryBudget::kWait / 5);
  releaser.join();

  // None given back: refused once the wait is over, naming the setting.
  auto third = std::make_shared<CallMemory>();
  const auto waited = steady_clock::now();
  const Status refused = third->Reserve(2 * kMiB, MemoryUse::Content);
  EXPECT_GE(steady_clock::now() - waited, MemoryBudget::kWait);
  EXPECT_EQ(refused.code(), E_OUTOFMEMORY);
  EXPECT_NE(refused.message().find("AllAnswersMemoryMB"), std::string::npos) << refused.message();
  EXPECT_EQ(third->Held(), 0u);
  // A thread that must not block is refused at once.
  EXPECT_EQ(third->TryReserve(2 * kMiB, MemoryUse::Request).code(), E_OUTOFMEMORY);
  // A small call is counted but never held back for the large ones.
  auto small = std::make_shared<CallMemory>();
  EXPECT_TRUE(small->TryReserve(CallMemory::kLarge, MemoryUse::Request).ok());
  EXPECT_EQ(small->TryReserve(1, MemoryUse::Request).code(), E_OUTOFMEMORY);
  EXPECT_EQ(MemoryBudget::Process().InUse(), 6 * kMiB + CallMemory::kLarge);

  first.reset();
  second.reset();
  small.reset();
  EXPECT_EQ(MemoryBudget::Process().InUse(), 0u);
}

TEST_F(MemoryBudgetTest, CallsThatWaitOnEachOtherLetTheOldestThrough) {
  // Each holds half and asks for more: neither could ever be served while
  // the other waits, so the younger gives way at once.
  auto older = std::make_shared<CallMemory>();
  auto younger = std::make_shared<CallMemory>();
  ASSERT_TRUE(older->Reserve(3 * kMiB, MemoryUse::DriverRows).ok());
  ASSERT_TRUE(younger->Reserve(3 * kMiB, MemoryUse::DriverRows).ok());
  Status olderGot;
  const auto start = steady_clock::now();
  std::thread first([&] { olderGot = older->Reserve(kMiB / 2, MemoryUse::DriverRows); });
  while (MemoryBudget::Process().InUse() == 6 * kMiB && steady_clock::now() - start < MemoryBudget::kWait / 8)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the older one waits first
  const Status youngerGot = younger->Reserve(kMiB / 2, MemoryUse::DriverRows);
  EXPECT_EQ(youngerGot.code(), E_OUTOFMEMORY);
  younger.reset();  // its rows go with its refusal
  first.join();
  EXPECT_TRUE(olderGot.ok()) << olderGot.message();
  EXPECT_LT(steady_clock::now() - start, MemoryBudget::kWait / 2);
  EXPECT_EQ(older->Held(), 3 * kMiB + kMiB / 2);
}

TEST_F(MemoryBudgetTest, ALargeCallIsToldOnceOnItsOwnThread) {
  auto call = std::make_shared<CallMemory>();
  int told = 0;
  call->OnLarge([&] { ++told; });
  ASSERT_TRUE(call->TryReserve(CallMemory::kLarge + 1, MemoryUse::Request).ok());
  EXPECT_EQ(told, 0);  // never from a thread that must not block
  ASSERT_TRUE(call->HoldAnswer(1000).ok());
  ASSERT_TRUE(call->HoldAnswer(500).ok());  // an answer only grows
  ASSERT_TRUE(call->Reserve(10, MemoryUse::Pieces).ok());
  EXPECT_EQ(told, 1);
  EXPECT_EQ(call->Held(), CallMemory::kLarge + 1 + 1000 + 10);
}

}  // namespace
}  // namespace quor::com
