// Many whole updates in a row, each with faults drawn from a seeded generator: no run
// hangs or crashes, no controller ever stores a ROLE it did not report, the controllers
// without a fault are always updated, and memory does not grow from run to run.
#include <gtest/gtest.h>
#include <malloc.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/support/temp_file.h"
#include "tests/support/update_run.h"

#if defined(__SANITIZE_ADDRESS__)
#define DOVEL_HEAP_IS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DOVEL_HEAP_IS_SANITIZED 1
#endif
#endif

namespace {

constexpr int SOAK_RUNS = 200;
constexpr uint32_t SOAK_SEED = 20261208;
constexpr uint32_t SOAK_IMAGE_BYTES = 1024;
// About 25 s for a clean update, and up to the 30 s erase bound for each controller
// whose download never gets its first reply.
constexpr int64_t RUN_TIME_BOUND_US = 180LL * 1000 * 1000;
// Heap in use may wobble by this much between runs once the first runs have warmed up.
constexpr size_t HEAP_GROWTH_ALLOWED = 64 * 1024;
constexpr int WARM_UP_RUNS = 5;

struct DrawnFaults {
    std::string options;
    std::set<int> faulty;
};

DrawnFaults drawFaults(std::mt19937& random, int imageCharacters) {
    const char* const kinds[] = {"silent", "status",     "crazy-id", "role-stuck", "stall",
                                 "slow",   "read-error", "foreign",  "long-len"};
    DrawnFaults drawn;
    const int count = static_cast<int>(random() % 3);  // none, one or two
    for (int i = 0; i < count; ++i) {
        const std::string kind = kinds[random() % std::size(kinds)];
        const int id = 11 + static_cast<int>(random() % 4);
        std::string option = kind + "=" + std::to_string(id);
        if (kind == "stall" || kind == "read-error") {
            option += ":" + std::to_string(random() % imageCharacters);
        } else if (kind == "slow") {
            option += ":" + std::to_string(random() % 100);  // controllers answer within 100 ms
        }
        // One fault of a kind for a controller: the hand refuses the same option twice.
        if (drawn.options.find(kind + "=" + std::to_string(id)) != std::string::npos) {
            continue;
        }
        drawn.options += (drawn.options.empty() ? "" : ",") + option;
        drawn.faulty.insert(id);
    }
    return drawn;
}

std::string soakImage() { return writeRandomImage("dovel_soak", SOAK_IMAGE_BYTES, SOAK_SEED); }

TEST(Soak, TwoHundredUpdatesWithRandomFaults) {
    const std::string imagePath = soakImage();
    TekImage image{};
    ASSERT_EQ(tekDecodeImage(imagePath.c_str(), &image), 0);
    const int imageCharacters = static_cast<int>(SOAK_IMAGE_BYTES * 2 + image.dataRecords * 8);
    std::mt19937 random(SOAK_SEED);
    [[maybe_unused]] size_t heapAfterWarmUp = 0;

    for (int runNumber = 1; runNumber <= SOAK_RUNS; ++runNumber) {
        const DrawnFaults faults = drawFaults(random, imageCharacters);
        SCOPED_TRACE("run " + std::to_string(runNumber) + " with '" + faults.options + "'");
        const UpdateRun run = runUpdateOnSimulatedHand(faults.options, imagePath);
        ASSERT_EQ(run.after.size(), 4u);
        EXPECT_LT(run.virtualUs, RUN_TIME_BOUND_US);
        for (const auto& [id, after] : run.after) {
            const SimDovelState& before = run.before.at(id);
            const std::string problem = completionProblem(before, after, image);
            // The summary calls a controller updated exactly when it is.
            EXPECT_EQ(dovelUpdated(run.outcome.dovels[id - FIRST_DOVEL_ID]), problem.empty())
                << "controller " << id << ": " << problem;
            if (faults.faulty.count(id) == 0) {
                EXPECT_EQ(problem, "") << "controller " << id;
            } else if (!problem.empty()) {
                EXPECT_TRUE(storedRoleIsDerived(before, after))
                    << "controller " << id << std::hex << ": " << before.storedRole << " became "
                    << after.storedRole;
            }
        }
        if (HasFailure()) {
            break;
        }
#if !defined(DOVEL_HEAP_IS_SANITIZED) && defined(__GLIBC__)
        const size_t heapInUse = mallinfo2().uordblks;
        if (runNumber == WARM_UP_RUNS) {
            heapAfterWarmUp = heapInUse;
        } else if (runNumber > WARM_UP_RUNS) {
            ASSERT_LE(heapInUse, heapAfterWarmUp + HEAP_GROWTH_ALLOWED);
        }
#endif
    }
    std::remove(imagePath.c_str());
}

}  // namespace
