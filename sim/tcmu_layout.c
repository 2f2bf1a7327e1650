/* The offsets tcmu_drive uses, held against the kernel's own header at compile time. */
#include <stddef.h>
#include <linux/target_core_user.h>

#include "tcmu_layout.h"

#define AT(record, field, offset) \
    _Static_assert(offsetof(struct record, field) == (offset), #record "." #field)

AT(tcmu_mailbox, flags, TCMU_AT_MAILBOX_FLAGS);
AT(tcmu_mailbox, cmdr_off, TCMU_AT_MAILBOX_RING_OFFSET);
AT(tcmu_mailbox, cmdr_size, TCMU_AT_MAILBOX_RING_SIZE);
AT(tcmu_mailbox, cmd_head, TCMU_AT_MAILBOX_HEAD);
AT(tcmu_mailbox, cmd_tail, TCMU_AT_MAILBOX_TAIL);
AT(tcmu_cmd_entry, hdr.len_op, TCMU_AT_ENTRY_LENGTH_AND_OPERATION);
AT(tcmu_cmd_entry, hdr.uflags, TCMU_AT_ENTRY_USER_FLAGS);
AT(tcmu_cmd_entry, req.iov_cnt, TCMU_AT_REQUEST_PIECE_COUNT);
AT(tcmu_cmd_entry, req.cdb_off, TCMU_AT_REQUEST_CDB_OFFSET);
AT(tcmu_cmd_entry, req.iov, TCMU_AT_REQUEST_PIECES);
AT(tcmu_cmd_entry, rsp.scsi_status, TCMU_AT_RESPONSE_STATUS);
AT(tcmu_cmd_entry, rsp.read_len, TCMU_AT_RESPONSE_READ_LENGTH);
AT(tcmu_cmd_entry, rsp.sense_buffer, TCMU_AT_RESPONSE_SENSE);
_Static_assert(TCMU_SENSE_BUFFERSIZE == 96, "sense buffer");
_Static_assert(sizeof(struct iovec) == 2 * sizeof(size_t), "iovec");
