// The thread kept for a kind of background job: every job given is done, in the order given.
#include "helper_thread.hpp"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Jobs given while one runs wait their turn rather than go lost, and run in the order given; the
// helper is done only once all are, and its end waits for them too.
TEST(HelperThread, DoesEveryJobInTheOrderGiven) {
    struct Row {
        const char* name;
        bool waited_for;  // else left to the helper's end
    };
    const Row rows[] = {{"waited for", true}, {"left to the helper's end", false}};
    for (const Row& row : rows) {
        std::vector<int> done;  // the jobs' own until they are waited for
        {
            tessaran::HelperThread helper("tessaran test");
            std::atomic<bool> first_may_end{false};
            helper.run([&done, &first_may_end] {
                while (!first_may_end) {
                    std::this_thread::yield();
                }
                done.push_back(0);
            });
            for (int job = 1; job < 4; ++job) {
                helper.run([&done, job] { done.push_back(job); });
            }
            EXPECT_FALSE(helper.done()) << row.name;
            first_may_end = true;
            if (row.waited_for) {
                helper.wait();
                EXPECT_TRUE(helper.done()) << row.name;
            }
        }
        EXPECT_EQ(done, (std::vector<int>{0, 1, 2, 3})) << row.name;
    }
}

}  // namespace
