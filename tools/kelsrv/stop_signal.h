// How the kelsrv program waits to be stopped: SIGINT or SIGTERM on POSIX
// systems, a console control event (Ctrl+C, closing the window) on Windows.
#ifndef KELSRV_STOP_SIGNAL_H
#define KELSRV_STOP_SIGNAL_H

namespace kelsrv {

// Called before any thread starts, so that the stop request reaches
// WaitForStopSignal and no other thread.
void BlockStopSignals();

// Returns once a stop was requested.
void WaitForStopSignal();

}  // namespace kelsrv

#endif
