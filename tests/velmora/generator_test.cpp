#include <gtest/gtest.h>

#include "velmora/generator.hpp"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora {
namespace {

using Log = std::shared_ptr<std::vector<std::string>>;

Log new_log() { return std::make_shared<std::vector<std::string>>(); }

// Records its own end, whichever way the frame goes.
struct Mark {
  Log log;
  std::string what;
  ~Mark() { log->push_back(what); }
};

Generator<int> counting(Log log, int n) {
  log->push_back("start");
  Mark m{log, "cleanup"};
  for (int i = 0; i < n; ++i) co_yield i;
  log->push_back("end");
}

TEST(Generator, RunsNothingUntilTheFirstPullAndEndsForGood) {
  auto log = new_log();
  auto g = counting(log, 2);
  EXPECT_TRUE(log->empty());
  EXPECT_EQ(g.next(), 0);
  EXPECT_EQ(*log, (std::vector<std::string>{"start"}));
  EXPECT_EQ(g.next(), 1);
  EXPECT_EQ(g.next(), std::nullopt);
  EXPECT_TRUE(g.finished());
  EXPECT_EQ(g.next(), std::nullopt);
  EXPECT_EQ(*log, (std::vector<std::string>{"start", "end", "cleanup"}));
  g.close();  // nothing left to close
}

TEST(Generator, CloseBeforeTheFirstPullNeverRunsTheBody) {
  auto log = new_log();
  auto g = counting(log, 3);
  g.close();
  EXPECT_TRUE(g.finished());
  EXPECT_EQ(g.next(), std::nullopt);
  EXPECT_TRUE(log->empty());
  auto never_pulled = counting(log, 3);  // destroyed unstarted: same
}

// How a suspended body answers close().
enum class OnExit { Unwind, CatchAllExceptions, Return, ThrowOther, YieldAgain };

Generator<int> answering(Log log, OnExit how) {
  Mark m{log, "cleanup"};
  try {
    co_yield 1;
  } catch (const std::exception&) {
    log->push_back("caught as std::exception");  // GeneratorExit must never land here
  } catch (const GeneratorExit&) {
    log->push_back("GeneratorExit");
    if (how == OnExit::Unwind || how == OnExit::CatchAllExceptions) throw;
    if (how == OnExit::ThrowOther) throw std::runtime_error("boom in cleanup");
  }
  if (how == OnExit::YieldAgain) {
    co_yield 2;
    log->push_back("resumed after the second yield");
    co_yield 3;
  }
}

TEST(Generator, CloseWhileSuspendedThrowsGeneratorExitAtTheYield) {
  for (const OnExit how : {OnExit::Unwind, OnExit::CatchAllExceptions, OnExit::Return}) {
    auto log = new_log();
    auto g = answering(log, how);
    ASSERT_EQ(g.next(), 1);
    g.close();
    EXPECT_TRUE(g.finished());
    EXPECT_EQ(*log, (std::vector<std::string>{"GeneratorExit", "cleanup"}));
    EXPECT_EQ(g.next(), std::nullopt);
  }
}

TEST(Generator, AnOtherExceptionFromTheClosingBodyLeavesClose) {
  auto log = new_log();
  auto g = answering(log, OnExit::ThrowOther);
  ASSERT_EQ(g.next(), 1);
  EXPECT_THROW(
      {
        try {
          g.close();
        } catch (const std::runtime_error& e) {
          EXPECT_STREQ(e.what(), "boom in cleanup");
          throw;
        }
      },
      std::runtime_error);
  EXPECT_TRUE(g.finished());
  EXPECT_EQ(*log, (std::vector<std::string>{"GeneratorExit", "cleanup"}));
}

TEST(Generator, ABodyThatYieldsAfterGeneratorExitFailsTheClose) {
  auto log = new_log();
  auto g = answering(log, OnExit::YieldAgain);
  ASSERT_EQ(g.next(), 1);
  EXPECT_THROW(g.close(), std::logic_error);
  EXPECT_FALSE(g.finished());
  // As in Python the generator lives on: pulling resumes it normally.
  EXPECT_EQ(g.next(), 3);
  EXPECT_EQ(log->back(), "resumed after the second yield");
  // Its destructor closes again; the error it gets is swallowed there.
}

Generator<int> failing(Log log) {
  Mark m{log, "cleanup"};
  co_yield 3;
  throw std::invalid_argument("bad item");
}

TEST(Generator, AnExceptionOutOfTheBodyReachesThePullAndEndsTheGenerator) {
  auto log = new_log();
  auto g = failing(log);
  ASSERT_EQ(g.next(), 3);
  EXPECT_THROW(g.next(), std::invalid_argument);
  EXPECT_EQ(*log, (std::vector<std::string>{"cleanup"}));
  EXPECT_TRUE(g.finished());
  EXPECT_EQ(g.next(), std::nullopt);
  g.close();
}

TEST(Generator, DestructionClosesASuspendedBodyAndSwallowsItsErrors) {
  auto log = new_log();
  {
    auto g = answering(log, OnExit::ThrowOther);
    ASSERT_EQ(g.next(), 1);
  }
  EXPECT_EQ(*log, (std::vector<std::string>{"GeneratorExit", "cleanup"}));

  log->clear();
  {
    auto g = counting(log, 5);
    for (int v : g) {
      if (v == 2) break;  // leaving a loop early leaves it suspended until destroyed
    }
    EXPECT_EQ(*log, (std::vector<std::string>{"start"}));
  }
  EXPECT_EQ(*log, (std::vector<std::string>{"start", "cleanup"}));
}

Generator<int> doubled(Log log, Generator<int> inner) {
  Mark m{log, "outer cleanup"};
  try {
    while (auto v = inner.next()) {
      const int twice = *v * 2;
      co_yield twice;
      if (*v == 1) break;
    }
  } catch (const GeneratorExit&) {
    log->push_back("outer GeneratorExit");
    throw;
  }
  log->push_back("outer end");
}

Generator<int> watched(Log log, int n) {
  Mark m{log, "inner cleanup"};
  try {
    for (int i = 0; i < n; ++i) co_yield i;
  } catch (const GeneratorExit&) {
    log->push_back("inner GeneratorExit");
    throw;
  }
}

TEST(Generator, NestedGeneratorsCloseFromTheOutsideIn) {
  auto log = new_log();
  auto g = doubled(log, watched(log, 5));
  EXPECT_EQ(g.next(), 0);
  g.close();
  EXPECT_EQ(*log, (std::vector<std::string>{"outer GeneratorExit", "outer cleanup", "inner GeneratorExit",
                                            "inner cleanup"}));
}

TEST(Generator, AnInnerGeneratorIsClosedAsSoonAsItsConsumerEnds) {
  auto log = new_log();
  auto g = doubled(log, watched(log, 5));
  EXPECT_EQ(g.next(), 0);
  EXPECT_EQ(g.next(), 2);
  EXPECT_EQ(g.next(), std::nullopt);  // the outer body stops after the inner's second value
  EXPECT_EQ(*log, (std::vector<std::string>{"outer end", "outer cleanup", "inner GeneratorExit", "inner cleanup"}));
}

TEST(Generator, AnInnerFailureTravelsThroughTheOuterPull) {
  auto log = new_log();
  auto g = doubled(log, failing(log));
  EXPECT_EQ(g.next(), 6);
  EXPECT_THROW(g.next(), std::invalid_argument);
  EXPECT_EQ(*log, (std::vector<std::string>{"cleanup", "outer cleanup"}));
}

Generator<std::unique_ptr<int>> boxes(int n) {
  for (int i = 0; i < n; ++i) co_yield std::make_unique<int>(i);
}

TEST(Generator, MoveOnlyValuesAndMovedGenerators) {
  auto g = boxes(3);
  auto first = g.next();
  ASSERT_TRUE(first && *first);
  EXPECT_EQ(**first, 0);
  Generator<std::unique_ptr<int>> moved = std::move(g);
  EXPECT_EQ(g.next(), std::nullopt);  // the moved-from generator is empty
  int sum = 0;
  for (auto& box : moved) sum += *box;
  EXPECT_EQ(sum, 1 + 2);
  Generator<std::unique_ptr<int>> empty;
  EXPECT_TRUE(empty.finished());
  EXPECT_TRUE(empty.begin() == empty.end());
}

Generator<int> reentering(Generator<int>* self) {
  co_yield 1;
  self->next();
}

TEST(Generator, PullingFromInsideItsOwnBodyIsAnError) {
  Generator<int> g;
  g = reentering(&g);
  EXPECT_EQ(g.next(), 1);
  EXPECT_THROW(g.next(), std::logic_error);
  EXPECT_TRUE(g.finished());
}

}  // namespace
}  // namespace velmora
