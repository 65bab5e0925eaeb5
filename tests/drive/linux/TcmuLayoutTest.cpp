// The ring's offsets against the kernel's own header (linux-libc-dev). The
// header is C: its inline helpers convert integers to enums, which C++
// accepts only with -fpermissive, so this file is built with it (and with
// warnings off, as the header's own code would warn).
#include <gtest/gtest.h>

#include <cstddef>

#include <linux/target_core_user.h>

#include "drive/linux/TcmuRing.h"

namespace vindral::linuxdrive {
namespace {

using namespace tcmu;

// The request part of an entry is not packed: cdb_off and the iovecs sit
// 8-byte aligned after the three counts.
TEST(TcmuLayout, MatchesTheKernelHeader) {
    EXPECT_EQ(offsetof(tcmu_mailbox, flags), kMailboxFlagsOffset);
    EXPECT_EQ(offsetof(tcmu_mailbox, cmdr_off), kMailboxRingOffset);
    EXPECT_EQ(offsetof(tcmu_mailbox, cmdr_size), kMailboxRingSizeOffset);
    EXPECT_EQ(offsetof(tcmu_mailbox, cmd_head), kMailboxHeadOffset);
    EXPECT_EQ(offsetof(tcmu_mailbox, cmd_tail), kMailboxTailOffset);
    EXPECT_EQ(offsetof(tcmu_cmd_entry, hdr.cmd_id), kEntryIdOffset);
    EXPECT_EQ(offsetof(tcmu_cmd_entry, hdr.uflags), kEntryUserFlagsOffset);
    EXPECT_EQ(offsetof(tcmu_cmd_entry, req.iov_cnt), kRequestIovCountOffset);
    EXPECT_EQ(offsetof(tcmu_cmd_entry, req.cdb_off), kRequestCdbOffset);
    EXPECT_EQ(offsetof(tcmu_cmd_entry, req.iov), kRequestIovOffset);
    EXPECT_EQ(sizeof(struct iovec), kIovBytes);
    EXPECT_EQ(offsetof(tcmu_cmd_entry, rsp.scsi_status), kResponseStatusOffset);
    EXPECT_EQ(offsetof(tcmu_cmd_entry, rsp.read_len), kResponseReadLengthOffset);
    EXPECT_EQ(offsetof(tcmu_cmd_entry, rsp.sense_buffer), kResponseSenseOffset);
    EXPECT_EQ(sizeof(tcmu_cmd_entry), kResponseBytes);
    EXPECT_EQ(static_cast<uint32_t>(TCMU_OP_CMD), kOpCmd);
    EXPECT_EQ(static_cast<uint32_t>(TCMU_OP_PAD), kOpPad);
    EXPECT_EQ(uint32_t{TCMU_MAILBOX_FLAG_CAP_READ_LEN}, kFlagReadLength);
    EXPECT_EQ(uint32_t{TCMU_UFLAG_READ_LEN}, kUserFlagReadLength);
    EXPECT_EQ(uint32_t{TCMU_UFLAG_UNKNOWN_OP}, kUserFlagUnknownOp);
}

} // namespace
} // namespace vindral::linuxdrive
