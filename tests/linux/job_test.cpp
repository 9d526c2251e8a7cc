#include "job.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

namespace {

using launcher::platform::parse_process_entry;
using launcher::platform::ProcessEntry;

std::vector<pid_t> parse_child_list(std::string_view text) {
    std::vector<pid_t> pids;
    launcher::platform::parse_child_list(text, [&pids](pid_t pid) { pids.push_back(pid); });
    return pids;
}

std::vector<ProcessEntry> descendants_in_group(pid_t ancestor, pid_t group) {
    return launcher::platform::descendants_in_group(launcher::platform::children_of(ancestor),
                                                    group);
}

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

    const auto full = parse_process_entry(
        "9 (sh) S 1 9 9 0 -1 4194560 100 0 0 0 0 0 0 0 20 0 1 0 123456 2269184 226 1");
    ASSERT_TRUE(full.has_value());
    EXPECT_EQ(full->start_time, 123456u);

    EXPECT_FALSE(parse_process_entry("7 (java").has_value());
    EXPECT_FALSE(parse_process_entry("7 (java) S").has_value());
    EXPECT_FALSE(parse_process_entry("").has_value());
}

TEST(ProcessEntry, ChildListsAreNumbersSeparatedByBlanks) {
    EXPECT_EQ(parse_child_list("12 345 6 "), (std::vector<pid_t>{12, 345, 6}));
    EXPECT_EQ(parse_child_list("7\n"), (std::vector<pid_t>{7}));
    EXPECT_TRUE(parse_child_list("").empty());
    EXPECT_EQ(parse_child_list("8 x 9"), (std::vector<pid_t>{8}));
}

// A child that waits, in this process's group or in one of its own, with a
// child of its own that waits too.
pid_t start_waiting_pair(bool own_group, int& ready_read) {
    int ready[2];
    if (pipe(ready) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        if (own_group) {
            setpgid(0, 0);
        }
        if (fork() == 0) {
            close(ready[1]);  // the parent's end tells the test that both run
            pause();
            _exit(0);
        }
        (void)!write(ready[1], "x", 1);
        close(ready[1]);
        pause();
        _exit(0);
    }
    close(ready[1]);
    ready_read = ready[0];
    return pid;
}

// The walk follows children in the group, and their children, and nothing
// that left the group.
TEST(Job, DescendantsInTheGroupAreTheJob) {
    int in_group_ready = -1;
    int own_group_ready = -1;
    const pid_t in_group = start_waiting_pair(false, in_group_ready);
    const pid_t own_group = start_waiting_pair(true, own_group_ready);
    ASSERT_GT(in_group, 0);
    ASSERT_GT(own_group, 0);
    char byte = 0;
    ASSERT_EQ(read(in_group_ready, &byte, 1), 1);
    ASSERT_EQ(read(own_group_ready, &byte, 1), 1);

    const auto found = descendants_in_group(getpid(), getpgrp());
    std::vector<pid_t> parents;
    for (const ProcessEntry& process : found) {
        parents.push_back(process.parent);
        EXPECT_EQ(process.group, getpgrp());
    }
    std::sort(parents.begin(), parents.end());
    // The child in the group and its own child; nothing of the other pair.
    EXPECT_EQ(parents, (std::vector<pid_t>{getpid(), in_group})) << found.size() << " found";

    kill(-own_group, SIGKILL);
    kill(in_group, SIGKILL);
    for (const ProcessEntry& process : found) {
        kill(process.pid, SIGKILL);
    }
    waitpid(in_group, nullptr, 0);
    waitpid(own_group, nullptr, 0);
    close(in_group_ready);
    close(own_group_ready);
}

}  // namespace
