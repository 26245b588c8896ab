#include "dump.h"

volatile sig_atomic_t dump_out = DUMP_NOREQ;

// Runs as a signal handler: stores the request and nothing else.
void sig_handler(int sig)
{
    if (sig == SIGUSR1)
        dump_out = DUMP_SNAP;
    else if (sig == SIGUSR2)
        dump_out = DUMP_CONT;
    else if (sig == SIGRTMIN)
        dump_out = DUMP_STOP;
}

// Takes the pending request and leaves DUMP_NOREQ in one indivisible step,
// so a signal can't slip a request in between the read and the reset.
int TakeDumpRequest(void)
{
    return __atomic_exchange_n(&dump_out, DUMP_NOREQ, __ATOMIC_SEQ_CST);
}
