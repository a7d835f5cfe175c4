/*
 * Frame reader of the host IPC service: reassembles frames (one type byte,
 * a 4-byte big-endian payload length, the payload) from the bytes of a
 * stream socket, in whatever pieces they arrive.
 *
 * The buffer comes from the tagged allocator and grows by doubling up to the
 * frame being read, so a header that announces a large payload costs memory
 * only as its bytes arrive. Separate from the socket code so that it can be
 * fuzzed on its own.
 */
#ifndef KEM_PLATFORM_HOST_IPC_FRAMES_H
#define KEM_PLATFORM_HOST_IPC_FRAMES_H

#include <stddef.h>

#include "platform/platform.h"

#define IPC_FRAME_HEADER 5

KEMPLAT_BEGIN_DECLS

typedef struct IpcFrameReader {
    unsigned char *data; /* tagged block, or null */
    size_t cap;          /* size of data */
    size_t start;        /* first byte not yet consumed */
    size_t end;          /* one past the last byte read */
    const char *types;   /* the type bytes accepted, e.g. "DE" */
    size_t limit;        /* the most bytes the buffer may take (init: no limit) */
} IpcFrameReader;

typedef struct IpcFrame {
    unsigned char type;
    const unsigned char *payload; /* inside the reader; valid until ipc_frame_room */
    size_t len;
} IpcFrame;

/* A reader accepting the type bytes of `types` (a static text), holding nothing. */
KEMPLAT_API void ipc_frame_init(IpcFrameReader *r, const char *types);

/*
 * Takes the next complete frame: returns 1 and fills *frame, 0 when more
 * bytes are needed, -1 for a protocol error (a type byte not accepted, a
 * payload above IPC_MAX_PAYLOAD); the error is seen as soon as the header is.
 */
KEMPLAT_API int ipc_frame_next(IpcFrameReader *r, IpcFrame *frame);

/*
 * Makes room for the next read and stores where (*at) and how much (*room).
 * Returns 0, or -1 when the buffer cannot grow: no memory, or the frame
 * being read needs more than r->limit bytes (nothing changed).
 */
KEMPLAT_API int ipc_frame_room(IpcFrameReader *r, unsigned char **at, size_t *room);

/* Records n bytes written at the place ipc_frame_room gave. */
KEMPLAT_API void ipc_frame_commit(IpcFrameReader *r, size_t n);

/* Releases the buffer; the reader is empty again. */
KEMPLAT_API void ipc_frame_release(IpcFrameReader *r);

KEMPLAT_END_DECLS

#endif
