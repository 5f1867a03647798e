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

/* The two read requests above fail with STATUS_NOT_FOUND (ERROR_NOT_FOUND) while no read is
 * pending: the reader may not have issued its next read yet. */

typedef struct SWITCH_TEST_STATE {
    unsigned long readsPending;   /* 0 or 1: one read at a time */
    unsigned long readsCancelled; /* reads that ended through the cancel routine */
    unsigned long statusRequests; /* IOCTL_READ_BIOS_WIFI_STATUS requests, answered or failed */
} SWITCH_TEST_STATE;
