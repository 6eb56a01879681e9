#include "core/FileDescriptor.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

using Vandrel::FileDescriptor;

bool isOpen(int fd)
{
    return ::fcntl(fd, F_GETFD) != -1;
}

class FileDescriptorOwnership : public testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(::pipe(fds), 0); }
    void TearDown() override
    {
        for (int fd : fds)
            if (isOpen(fd))
                ::close(fd);
    }
    int fds[2] = {-1, -1};
};

TEST_F(FileDescriptorOwnership, ClosesExactlyOnceAfterAMove)
{
    {
        FileDescriptor first(fds[0]);
        FileDescriptor second(std::move(first));
        EXPECT_FALSE(first.isOpen());
        EXPECT_EQ(second.get(), fds[0]);
        FileDescriptor third;
        third = std::move(second);
        EXPECT_FALSE(second);
        EXPECT_TRUE(isOpen(fds[0]));
    }
    EXPECT_FALSE(isOpen(fds[0]));
    // The number may now be reused: a second close would hit someone else's file.
    int const reused = ::dup(fds[1]);
    ASSERT_EQ(reused, fds[0]);
    EXPECT_TRUE(isOpen(reused));
}

TEST_F(FileDescriptorOwnership, MoveAssignmentClosesTheDescriptorItReplaces)
{
    FileDescriptor kept(fds[0]);
    FileDescriptor replaced(fds[1]);
    replaced = std::move(kept);
    EXPECT_FALSE(isOpen(fds[1]));
    EXPECT_TRUE(isOpen(fds[0]));
    EXPECT_EQ(replaced.get(), fds[0]);
}

TEST_F(FileDescriptorOwnership, ReleasedDescriptorStaysOpenAndResetClosesTheOldOne)
{
    {
        FileDescriptor owner(fds[0]);
        EXPECT_EQ(owner.release(), fds[0]);
        EXPECT_EQ(owner.get(), -1);
    }
    EXPECT_TRUE(isOpen(fds[0]));

    FileDescriptor owner(fds[0]);
    owner.reset(fds[1]);
    EXPECT_FALSE(isOpen(fds[0]));
    EXPECT_TRUE(isOpen(fds[1]));
}

TEST(FileDescriptorState, AFailedOpenIsNotOpen)
{
    FileDescriptor const failed(::open("/nonexistent/file", O_RDONLY));
    EXPECT_FALSE(failed);
    EXPECT_FALSE(FileDescriptor().isOpen());
}

} // namespace
