// The dump step: run at the top of every pass of the server loop with the
// request taken from dump_out.
#include <unistd.h>

#include "dump.h"
#include "dump_internal.h"

static void writeSnapshot(const LoopBuffer *lb, int max_file)
{
    int fd = DumpOpenFile(0, max_file);
    if (fd < 0)
        return;
    DumpWriteContent(fd, lb);
    close(fd);
}

// The continuous file stays open; the intake appends every datagram to it.
static int openContinuous(const LoopBuffer *lb, int max_file)
{
    int fd = DumpOpenFile(1, max_file);
    if (fd >= 0)
        DumpWriteContent(fd, lb);
    return fd;
}

// State table, with "on" meaning *dump_mode == DUMP_CONT:
//   off + SNAP: snapshot, stays off       off + CONT: open, on (file or not)
//   on  + SNAP: snapshot, stays on        on  + CONT: reopen if *cont_fd is -1
//   on  + STOP: close *cont_fd, off       NOREQ, and STOP when off: nothing
// *cont_fd is open only while *dump_mode is DUMP_CONT.
void DumpStep(int request, const LoopBuffer *lb, int max_file, int *dump_mode, int *cont_fd)
{
    if (request != *dump_mode) {
        if (*dump_mode != DUMP_CONT) {
            *dump_mode = request;
        } else if (request == DUMP_STOP) {
            if (*cont_fd != -1) {
                close(*cont_fd);
                *cont_fd = -1;
            }
            *dump_mode = DUMP_STOP;
            return;
        }
    }
    if (request == DUMP_SNAP) {
        writeSnapshot(lb, max_file);
    } else if (request == DUMP_CONT && *cont_fd < 0) {
        *cont_fd = -1;
        *cont_fd = openContinuous(lb, max_file);
    }
}
