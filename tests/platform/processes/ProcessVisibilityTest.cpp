#include "platform/processes/ProcessVisibility.h"

#include <gtest/gtest.h>

namespace {
TProcessRef Process(int32_t pid, bool named, int64_t user) {
    auto process = std::make_shared<TChangeProcess>();
    process->Pid = pid;
    process->Named = named;
    process->User = user;
    if (named) {
        process->Command = "payroll";
        process->Executable = "/srv/private/payroll-export";
    }
    return process;
}
} // namespace

TEST(ProcessVisibility, ProcMountOptionsGiveTheirHiding) {
    const struct {
        const char* Options;
        TProcHiding Hiding;
    } cases[] = {
        {"rw,nosuid,nodev,noexec,relatime", TProcHiding::None},
        {"rw,hidepid=0", TProcHiding::None},
        {"rw,hidepid=off", TProcHiding::None},
        {"rw,hidepid=1,gid=27", TProcHiding::NoAccess},
        {"rw,hidepid=noaccess", TProcHiding::NoAccess},
        {"rw,relatime,hidepid=2", TProcHiding::Invisible},
        {"hidepid=invisible", TProcHiding::Invisible},
        {"rw,hidepid=ptraceable", TProcHiding::Invisible},
    };
    for (const auto& [options, hiding] : cases)
        EXPECT_EQ(ProcHidingOf(options), hiding) << options;
}

// What a user (1000) learns of a process, by whose it is and how /proc hides.
TEST(ProcessVisibility, AUserLearnsOfAProcessWhatProcWouldShowThem) {
    const struct {
        TProcessRef Process;
        TProcHiding Hiding;
        int32_t Pid;
        bool Named, OtherUser;
        const char* Command;
        const char* Executable;
        int64_t User;
    } cases[] = {
        {Process(10, true, 1000), TProcHiding::Invisible, 10, true, false, "payroll", "/srv/private/payroll-export",
         1000},
        {Process(11, true, 0), TProcHiding::None, 11, true, false, "payroll", "", 0},
        {Process(12, true, 0), TProcHiding::NoAccess, 12, false, true, "", "", 0},
        {Process(13, true, 0), TProcHiding::Invisible, 0, false, true, "", "", -1},
        {Process(14, false, -1), TProcHiding::None, 14, false, false, "", "", -1},
        {Process(15, false, -1), TProcHiding::NoAccess, 15, false, false, "", "", -1},
        {Process(16, false, -1), TProcHiding::Invisible, 0, false, false, "", "", -1},
    };
    for (const auto& c : cases) {
        const TProcessRef seen = AsSeenBy(c.Process, 1000, c.Hiding);
        ASSERT_TRUE(seen);
        SCOPED_TRACE(DescribeProcess(*seen));
        EXPECT_EQ(seen->Pid, c.Pid);
        EXPECT_EQ(seen->Named, c.Named);
        EXPECT_EQ(seen->OtherUser, c.OtherUser);
        EXPECT_EQ(seen->Command, c.Command);
        EXPECT_EQ(seen->Executable, c.Executable);
        EXPECT_EQ(seen->User, c.User);
    }
    EXPECT_EQ(AsSeenBy(nullptr, 1000, TProcHiding::None), nullptr);
    EXPECT_EQ(DescribeProcess(*AsSeenBy(Process(13, true, 0), 1000, TProcHiding::Invisible)),
              "a process of another user");
}
