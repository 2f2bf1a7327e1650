/* Where the kernel's TCMU command ring keeps what tcmu_drive reads and writes: byte offsets
 * into the mailbox and into one command entry, as linux/target_core_user.h lays them out
 * (the entry is packed, the request and response inside it are not). That header compiles
 * as C only; tcmu_layout.c holds these numbers against it. */
#ifndef KELVO_TCMU_LAYOUT_H
#define KELVO_TCMU_LAYOUT_H

#define TCMU_AT_MAILBOX_FLAGS 2
#define TCMU_AT_MAILBOX_RING_OFFSET 4
#define TCMU_AT_MAILBOX_RING_SIZE 8
#define TCMU_AT_MAILBOX_HEAD 12
#define TCMU_AT_MAILBOX_TAIL 64

#define TCMU_AT_ENTRY_LENGTH_AND_OPERATION 0
#define TCMU_AT_ENTRY_USER_FLAGS 7
#define TCMU_AT_REQUEST_PIECE_COUNT 8
#define TCMU_AT_REQUEST_CDB_OFFSET 24
#define TCMU_AT_REQUEST_PIECES 48
#define TCMU_AT_RESPONSE_STATUS 8
#define TCMU_AT_RESPONSE_READ_LENGTH 12
#define TCMU_AT_RESPONSE_SENSE 16

#endif
