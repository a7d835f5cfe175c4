// Fuzz target of the IPC frame reader: the input is a byte stream as a peer
// might send it. It is fed once in pieces whose sizes come from the input's
// first bytes and once through the largest room the reader offers; both
// runs must see the same frames and the same outcome, every frame must lie
// inside what was fed, and no block may stay live after the release.
#include "platform/host/ipc_frames.h"
#include "platform/host/mem_debug.h"
#include "platform/ipc.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Result {
    std::vector<std::string> frames;
    int outcome = 0;  /* 0: ran out of input, -1: protocol error, -2: no memory */
};

/* Feeds data in pieces of the sizes `steps` gives (cycled; 0: all the room). */
Result feed(const uint8_t *data, size_t size, const uint8_t *steps, size_t nsteps)
{
    Result res;
    IpcFrameReader r;
    ipc_frame_init(&r, "DE");
    size_t pos = 0, k = 0;
    while (pos < size && res.outcome == 0) {
        unsigned char *at;
        size_t room;
        if (ipc_frame_room(&r, &at, &room) != 0) {
            res.outcome = -2;
            break;
        }
        size_t n = nsteps ? steps[k++ % nsteps] : room;
        if (n == 0 || n > room)
            n = room;
        if (n > size - pos)
            n = size - pos;
        std::memcpy(at, data + pos, n);
        ipc_frame_commit(&r, n);
        pos += n;
        IpcFrame f;
        int rc;
        while ((rc = ipc_frame_next(&r, &f)) == 1) {
            if (f.len > IPC_MAX_PAYLOAD || (f.type != 'D' && f.type != 'E'))
                std::abort();
            res.frames.push_back(std::string(1, char(f.type)) +
                                 std::string(reinterpret_cast<const char *>(f.payload), f.len));
        }
        if (rc < 0)
            res.outcome = -1;
    }
    ipc_frame_release(&r);
    return res;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t nsteps = size ? data[0] % 8 : 0;
    if (size < 1 + nsteps)
        return 0;
    const uint8_t *steps = data + 1;
    data += 1 + nsteps;
    size -= 1 + nsteps;
    Result a = feed(data, size, steps, nsteps);
    Result b = feed(data, size, nullptr, 0);
    if (a.frames != b.frames || a.outcome != b.outcome)
        std::abort();
    if (mem_live_blocks() != 0)
        std::abort();
    return 0;
}
