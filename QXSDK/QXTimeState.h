#ifndef QUORVEX_QXSDK_QXTIMESTATE_H_
#define QUORVEX_QXSDK_QXTIMESTATE_H_

#include <cstdint>

// The registry's time fields (QXPredefinedVariables::timeState()). Durations
// and dates in milliseconds.
struct QXTimeState {
  bool isBackground = false;               // the application is in background
  int32_t totalForegroundTransitions = 1;  // the launch counts as the first
  uint64_t totalForegroundTime = 0;        // in this process
  uint64_t deltaForeground = 0;            // since the previous hit
  uint64_t totalBackgroundTime = 0;        // in this process
  uint64_t deltaBackground = 0;            // since the previous hit
  uint64_t lastTime = 0;                   // time is counted up to here
  uint64_t startUsage = 0;                 // usage carried over from earlier launches
  uint64_t visitDuration = 1800000;        // a longer stay in background starts a session
};

#endif  // QUORVEX_QXSDK_QXTIMESTATE_H_
