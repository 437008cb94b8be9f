#include "platform/com/answer_budget.h"

#include <unistd.h>

#include "platform/com/callcontext.h"
#include "platform/com/hresult.h"
#include "platform/text/text.h"

namespace quor::com {
namespace {

uint64_t MachineMemory() {
  const long pages = ::sysconf(_SC_PHYS_PAGES), size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || size <= 0) return uint64_t{4} << 30;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(size);
}

uint64_t Megabytes(uint64_t bytes) { return (bytes + (1u << 20) - 1) >> 20; }

}  // namespace

AnswerBudget& AnswerBudget::Process() {
  static AnswerBudget budget;  // module-wide: every call of the process shares it
  return budget;
}

AnswerBudget::AnswerBudget() : perAnswer_(DefaultPerAnswer()), allAnswers_(DefaultAllAnswers()) {}

uint64_t AnswerBudget::DefaultPerAnswer() { return MachineMemory() / 8; }
uint64_t AnswerBudget::DefaultAllAnswers() { return MachineMemory() / 4; }

void AnswerBudget::Configure(uint64_t perAnswer, uint64_t allAnswers) {
  perAnswer_.store(perAnswer ? perAnswer : DefaultPerAnswer(), std::memory_order_relaxed);
  allAnswers_.store(allAnswers ? allAnswers : DefaultAllAnswers(), std::memory_order_relaxed);
}

AnswerHold::AnswerHold(AnswerBudget& budget) : budget_(budget) {}

AnswerHold::~AnswerHold() {
  if (held_) budget_.inFlight_.fetch_sub(held_, std::memory_order_relaxed);
}

Status AnswerHold::Hold(uint64_t bytes) {
  if (bytes <= held_) return Status();
  if (bytes > budget_.PerAnswer()) {
    refusal_ = text::Format(
        "The answer would take more than %llu MB, the most one answer may hold in memory (AnswerMemoryMB).",
        static_cast<unsigned long long>(Megabytes(budget_.PerAnswer())));
    return Status(E_OUTOFMEMORY, refusal_);
  }
  const uint64_t more = bytes - held_;
  const uint64_t before = budget_.inFlight_.fetch_add(more, std::memory_order_relaxed);
  if (before + more > budget_.AllAnswers()) {
    budget_.inFlight_.fetch_sub(more, std::memory_order_relaxed);
    refusal_ = text::Format(
        "The answers in progress already hold %llu MB; this one would pass the %llu MB they may hold together "
        "(AllAnswersMemoryMB).",
        static_cast<unsigned long long>(Megabytes(before)),
        static_cast<unsigned long long>(Megabytes(budget_.AllAnswers())));
    return Status(E_OUTOFMEMORY, refusal_);
  }
  held_ = bytes;
  return Status();
}

Status HoldAnswer(uint64_t bytes) {
  AnswerHold* hold = CurrentCallContext().answerHold;
  return hold ? hold->Hold(bytes) : Status();
}

}  // namespace quor::com
