#include "job.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using launcher::platform::job_still_runs;
using launcher::platform::parse_process_entry;
using launcher::platform::ProcessEntry;

TEST(ProcessEntry, FieldsAreFoundAfterTheNamesLastParenthesis) {
    const auto entry = parse_process_entry("4242 (a) (b) S 1 17) R 10 4242 4242 0 -1 4194560\n");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->pid, 4242);
    EXPECT_EQ(entry->state, 'R');
    EXPECT_EQ(entry->parent, 10);
    EXPECT_EQ(entry->group, 4242);

    const auto zombie = parse_process_entry("7 (java) Z 3 5 5 0");
    ASSERT_TRUE(zombie.has_value());
    EXPECT_EQ(zombie->state, 'Z');
    EXPECT_EQ(zombie->group, 5);

    EXPECT_FALSE(parse_process_entry("7 (java").has_value());
    EXPECT_FALSE(parse_process_entry("7 (java) S").has_value());
    EXPECT_FALSE(parse_process_entry("").has_value());
}

// The launcher is 100; the server 200 leads group 200.
TEST(Job, RunsWhileALivingDescendantIsInTheGroup) {
    const ProcessEntry launcher{100, 'S', 1, 100};
    const ProcessEntry server_gone{200, 'Z', 100, 200};
    const ProcessEntry child{201, 'S', 200, 200};
    const ProcessEntry grandchild_orphan{202, 'S', 100, 200};  // re-parented to the launcher
    EXPECT_TRUE(job_still_runs({launcher, server_gone, child}, 200, 100));
    EXPECT_TRUE(job_still_runs({launcher, server_gone, grandchild_orphan}, 200, 100));
    EXPECT_FALSE(job_still_runs({launcher, server_gone}, 200, 100));
}

TEST(Job, EndsDespiteZombiesStrangersAndDaemons) {
    const ProcessEntry launcher{100, 'S', 1, 100};
    const ProcessEntry zombie_child{201, 'Z', 100, 200};
    const ProcessEntry daemon{202, 'S', 100, 202};        // left the group
    const ProcessEntry stranger{300, 'S', 1, 200};        // in the group, not started by us
    const ProcessEntry pipeline_peer{301, 'S', 50, 100};  // the launcher's own group
    EXPECT_FALSE(job_still_runs({launcher, zombie_child, daemon, stranger}, 200, 100));
    // Sharing the launcher's group (a terminal): the launcher itself and the
    // rest of its pipeline do not count.
    EXPECT_FALSE(job_still_runs({launcher, pipeline_peer}, 100, 100));
}

}  // namespace
