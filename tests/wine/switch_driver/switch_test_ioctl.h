/* Test-only requests of the test switch driver, shared by the driver and the test tool. They
 * play the switch and the BIOS: the service's own requests are not among them. */
#pragma once

/* FILE_DEVICE_UNKNOWN, functions from 0x900 on (0x800 and up are free for vendors),
 * METHOD_BUFFERED, FILE_ANY_ACCESS: the tool opens the device without read or write access so
 * that it never collides with the service's share mode. */
#define SWITCH_TEST_IOCTL(function) \
    CTL_CODE(FILE_DEVICE_UNKNOWN, (function), METHOD_BUFFERED, FILE_ANY_ACCESS)

/* In: a 4-byte switch value. Completes the pending read with it. */
#define IOCTL_SWITCH_TEST_COMPLETE_READ SWITCH_TEST_IOCTL(0x900)
/* Fails the pending read with STATUS_DEVICE_NOT_READY, which the reader sees as ERROR_NOT_READY. */
#define IOCTL_SWITCH_TEST_FAIL_READ SWITCH_TEST_IOCTL(0x901)
/* In: a 4-byte status. Later status requests succeed with it. */
#define IOCTL_SWITCH_TEST_SET_BIOS_STATUS SWITCH_TEST_IOCTL(0x902)
/* Later status requests fail with STATUS_IO_DEVICE_ERROR, until a status is set again. */
#define IOCTL_SWITCH_TEST_FAIL_BIOS_STATUS SWITCH_TEST_IOCTL(0x903)
/* Out: a SWITCH_TEST_STATE. */
#define IOCTL_SWITCH_TEST_GET_STATE SWITCH_TEST_IOCTL(0x904)
/* In: a 4-byte flag. While it is nonzero, status requests stay pending (cancellable, one at a
 * time); setting it to zero answers the one pending as the BIOS status then says. */
#define IOCTL_SWITCH_TEST_HOLD_BIOS_STATUS SWITCH_TEST_IOCTL(0x910)
/* In: a 4-byte flag. While it is nonzero, every read succeeds at once with no data, as a driver
 * breaking its contract may; setting it completes the pending read so. */
#define IOCTL_SWITCH_TEST_SHORT_READ_FLOOD SWITCH_TEST_IOCTL(0x911)
/* In: a 4-byte flag. While it is nonzero, the pending read has no cancel routine, so that a
 * cancel leaves it pending; only a value or a not-ready failure ends it. Setting it to zero gives
 * the pending read its cancel routine back. */
#define IOCTL_SWITCH_TEST_REFUSE_CANCEL SWITCH_TEST_IOCTL(0x912)

/* The two read requests above fail with STATUS_NOT_FOUND (ERROR_NOT_FOUND) while no read is
 * pending: the reader may not have issued its next read yet. */

/* The benchmark's requests. Values queued here go to the reader as fast as it reads: the pending
 * read takes the first at once, and every later read the next one, without pending. For each such
 * value the driver notes when it completed the read and when the reader's next read came, on the
 * performance counter. */
/* In: 1 to SWITCH_TEST_QUEUE_MAX 4-byte values. Fails with STATUS_INSUFFICIENT_RESOURCES when
 * they do not fit beside those still queued. */
#define IOCTL_SWITCH_TEST_QUEUE_VALUES SWITCH_TEST_IOCTL(0x905)
/* Completes once a read is pending, so once every queued value has been read; at once if a read
 * is pending already. One waiter at a time; cancellable. */
#define IOCTL_SWITCH_TEST_WAIT_READ SWITCH_TEST_IOCTL(0x906)
/* Out: a SWITCH_TEST_TIMES header and its entries. Hands over the times noted since the last
 * take and forgets them, with those of a value whose next read has not come yet;
 * STATUS_BUFFER_TOO_SMALL when the buffer cannot hold them all. */
#define IOCTL_SWITCH_TEST_TAKE_TIMES SWITCH_TEST_IOCTL(0x907)

#define SWITCH_TEST_QUEUE_MAX 16384
#define SWITCH_TEST_TIMES_MAX 16384

typedef struct SWITCH_TEST_TIME {
    long long completedAt; /* the read was completed with the value */
    long long nextReadAt;  /* the reader's next read reached the driver */
} SWITCH_TEST_TIME;

typedef struct SWITCH_TEST_TIMES {
    unsigned long count;   /* entries that follow */
    unsigned long dropped; /* values whose times did not fit and were not noted */
    long long frequency;   /* performance counter ticks per second */
    SWITCH_TEST_TIME entries[1];
} SWITCH_TEST_TIMES;

typedef struct SWITCH_TEST_STATE {
    unsigned long readsPending;   /* 0 or 1: one read at a time */
    unsigned long readsCancelled; /* reads that ended through the cancel routine */
    unsigned long statusRequests; /* IOCTL_READ_BIOS_WIFI_STATUS requests, answered or failed */
    unsigned long emptyReads;     /* reads completed without data by the short-read flood */
} SWITCH_TEST_STATE;
