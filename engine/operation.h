// The sync operation: one Check or Correct, driven a step a pass by the
// supervisor. It starts queries one after another, shows their progress in
// the main window's status line, falls back to the other protocol or the
// next server after a failure, may average four replies, and on success
// hands the reply to the clock correction.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/dialog.h"

namespace tavrel {

// 0 idle; 1 an operation or scan runs and a query may start; 2 a query is
// in flight; 99 stop requested.
inline constexpr int32_t kSyncIdle = 0;
inline constexpr int32_t kSyncActive = 1;
inline constexpr int32_t kSyncQueryInFlight = 2;
inline constexpr int32_t kSyncStopRequested = 99;
extern std::atomic<int32_t> syncState;

// 1 while the running operation is a Correct, 0 for a Check.
extern std::atomic<int32_t> correctMode;
// The last progress step shown, 0..5.
extern std::atomic<int32_t> shownStep;
// Set while the server scan runs; the supervisor then does no operation work.
extern std::atomic<int32_t> scanActive;
// The running average: replies folded in, their sum in seconds, and the
// tick of the previous sample.
extern std::atomic<uint32_t> averageCount;
extern std::atomic<uint32_t> averageSum;
extern std::atomic<uint32_t> averageLastTick;

// Begins an operation (nothing unless idle). The caller sets correctMode.
void startOperation(platform::WindowHandle window);
// Ends the operation and gives the window back its idle look.
void finishOperation(platform::WindowHandle window);
// The fallback step: the other protocol under Auto, else the next server.
void nextServer(platform::WindowHandle window);
// Folds an accepted reply into the average.
void collectAverageSample(platform::WindowHandle window);
// The operation work of one supervisor pass.
void operationPass(platform::WindowHandle window);
// The Abort command: ends the running query and the operation.
void abortOperation(platform::WindowHandle window);

// Back to the state at program start (tests).
void resetOperationState();

}  // namespace tavrel
